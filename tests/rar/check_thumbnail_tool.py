"""CBR thumbnails end to end: quillet-thumbnail loads the module, the module
loads the unrar library, and each archive that make_archives.py made gets the
right cover thumbnail or, when it is hostile, none (exit code 1), leaving no
temporary file behind.

    python3 check_thumbnail_tool.py --tool EXE --module MODULE --archives DIR
        --work DIR [--library FILE] [--runner PROGRAM]

With --runner (the Windows build, run under Wine) the tool, the module and
--library are copied into one folder, where the module finds the library
beside itself. Without it the module finds the system's libunrar.so.5
through its settings file.
"""
import argparse
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))
import pages  # noqa: E402

# Archive, and the page its thumbnail shows (None: no thumbnail, exit code 1).
# The file name says how to look: the first image of a .rar, the chosen one
# of a .cb-anything.
CASES = [
    ("normal.cbr", 1),
    ("solid.cbr", 1),
    ("normal.rar", 3),
    ("rar-named.cbz", 1),
    ("Überblick 📖/normal.cbr", 1),
    ("directory-named-like-image.cbr", 1),
    ("mode-664.cbr", 1),
    ("read-only-page.cbr", 1),
    ("no-pages.cbr", None),
    ("encrypted-data.cbr", None),
    ("encrypted-headers.cbr", None),
    ("volumes-first-only/book.part1.rar", None),
    # Only the first volume is read: a cover that spans volumes, or a later
    # volume that would crash the library, gives no thumbnail.
    ("volumes-complete/book.part1.rar", None),
    # The first image lies wholly in the first volume; the second would
    # crash the library.
    ("volumes-damaged-second/book.part1.rar", 1),
    ("volumes-middle-missing/book.part1.rar", None),
    ("damaged-data.cbr", None),
    ("damaged-header.cbr", None),
    ("truncated.cbr", None),
    ("signature-only.cbr", None),
]

# A generous bound that only a hang reaches.
HANG_SECONDS = 120
# The scaler may round a page's colour by a little.
TOLERANCE = 3


def read_pam(path):
    """The middle pixel of a PAM that quillet-thumbnail --dump wrote, as (r, g, b)."""
    with open(path, "rb") as f:
        data = f.read()
    end = data.index(b"ENDHDR\n") + len(b"ENDHDR\n")
    fields = dict(line.split(b" ", 1) for line in data[:end].split(b"\n")[1:-2])
    width, height, depth = int(fields[b"WIDTH"]), int(fields[b"HEIGHT"]), int(fields[b"DEPTH"])
    at = end + ((height // 2) * width + width // 2) * depth
    b, g, r = data[at:at + 3]
    return (r, g, b)


def page_of(rgb):
    for number in range(1, 10):
        if all(abs(a - b) <= TOLERANCE for a, b in zip(rgb, pages.page_colour(number))):
            return number
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--archives", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--library")
    parser.add_argument("--runner")
    args = parser.parse_args()

    windows = bool(args.runner)
    if os.path.isdir(args.work):
        shutil.rmtree(args.work)
    bin_dir = os.path.join(args.work, "bin")
    out_dir = os.path.join(args.work, "out")
    temp_dir = os.path.join(args.work, "tmp")
    for d in (bin_dir, out_dir, temp_dir):
        os.makedirs(d)
    tool = shutil.copy(args.tool, bin_dir)
    shutil.copy(args.module, bin_dir)
    if args.library:
        shutil.copy(args.library, bin_dir)
    if not windows:
        with open(os.path.join(bin_dir, "Quillet.ini"), "w") as f:
            f.write("[DllPath]\nlibunrar.so.5=libunrar.so.5\n")

    def host_path(path):
        path = os.path.abspath(path)
        return "Z:" + path.replace("/", "\\") if windows else path

    environment = dict(os.environ, TMPDIR=temp_dir)
    wine_temp = None
    if windows:
        # Wine gives every process the prefix's own temporary folder,
        # whatever TMP says: look there for what is left.
        prefix = subprocess.run([args.runner, "--prefix"], stdout=subprocess.PIPE, check=True,
                                text=True).stdout.strip()
        users = os.path.join(prefix, "drive_c", "users")
        wine_temp = [os.path.join(users, u, "Temp") for u in os.listdir(users) if os.path.isdir(os.path.join(users, u, "Temp"))]

    def temporary_files():
        found = set()
        for folder in [temp_dir] + (wine_temp or []):
            found |= {os.path.join(folder, n) for n in os.listdir(folder) if n.startswith("CBx-")}
        return found

    before = temporary_files()
    failures = []
    for number, (archive, page) in enumerate(CASES):
        output = os.path.join(out_dir, "%02d.pam" % number)
        command = ([args.runner] if windows else []) + [
            host_path(tool), "--dump", "--size", "64", host_path(os.path.join(args.archives, archive)),
            host_path(output)]
        try:
            result = subprocess.run(command, env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    timeout=HANG_SECONDS)
        except subprocess.TimeoutExpired:
            failures.append("%s: no answer within %d s" % (archive, HANG_SECONDS))
            continue
        said = result.stdout.decode(errors="replace").strip()
        if page is None:
            if result.returncode != 1:
                failures.append("%s: exit code %d, not 1 (%s)" % (archive, result.returncode, said))
            elif os.path.exists(output):
                failures.append("%s: a thumbnail was written" % archive)
        elif result.returncode != 0:
            failures.append("%s: exit code %d, not 0 (%s)" % (archive, result.returncode, said))
        else:
            shown = page_of(read_pam(output))
            if shown != page:
                failures.append("%s: the thumbnail shows page %d, not %d" % (archive, shown, page))
        print("%-40s exit %d" % (archive, result.returncode))

    # A name that is still there now was left behind; those of other programs
    # that share Wine's folder come and go while they work.
    left = sorted(p for p in temporary_files() - before if os.path.exists(p))
    if left:
        failures.append("left behind: %s" % left)
    for failure in failures:
        print("FAILED " + failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
