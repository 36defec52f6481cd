"""quillet-thumbnail over the 7-Zip archives, the module loaded through its
exports as a file manager loads it: the right cover thumbnail of a CBZ, a CB7
and a CBT, byte for byte as the fitting and blending rules give it for pages
of one colour, and exit code 1 with no file left behind for hostile archives.

    python3 thumbnail_end_to_end.py --tool PROGRAM --module MODULE
        --archives DIR --library LIBRARY --work DIR [--wine RUNNER]

The module is copied into the work folder with a Quillet.ini of its own that
names LIBRARY, so the test needs nothing from the build folder's settings.
With --wine the programs are Windows ones, run through RUNNER.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))
import pages  # noqa: E402


def fit_size(width, height, box_width, box_height):
    """The thumbnail size: the width fills the box unless the height then
    overflows it; rounding to nearest, ties to even (Python's round)."""
    w = box_width
    h = round(box_width * height / width)
    if h > box_height:
        h = box_height
        w = round(box_height * width / height)
    return max(w, 1), max(h, 1)


def thumbnail_pixel(number):
    """Every pixel of the thumbnail of page `number`, blue, green, red, alpha:
    the resampler reproduces a page of one opaque colour exactly, and each
    resampled pixel is blended onto transparent black with the weight of its
    alpha, 255, so each byte x, alpha included, becomes (x * 255 + 128) >> 8
    (255 gives 254)."""
    r, g, b = pages.page_colour(number)
    return bytes((x * 255 + 128) >> 8 for x in (b, g, r, 255))


def read_pam(path):
    with open(path, "rb") as f:
        data = f.read()
    end = data.index(b"ENDHDR\n") + len(b"ENDHDR\n")
    fields = dict(line.split(b" ", 1) for line in data[:end].split(b"\n")[1:-2])
    return (int(fields[b"WIDTH"]), int(fields[b"HEIGHT"]), int(fields[b"DEPTH"]),
            fields[b"TUPLTYPE"].decode(), data[end:])


class Runner:
    def __init__(self, args):
        self.args = args
        self.wine = args.wine
        self.work = os.path.abspath(args.work)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        # The module with a settings file of its own beside it.
        module_dir = os.path.join(self.work, "module")
        os.makedirs(module_dir)
        self.module = os.path.join(module_dir, os.path.basename(args.module))
        shutil.copyfile(args.module, self.module)
        key = "7z.64.dll" if self.wine else "7z.so"
        library = self.host_path(os.path.abspath(args.library))
        with open(os.path.join(module_dir, "Quillet.ini"), "w", newline="\r\n" if self.wine else "\n") as f:
            f.write("[DllPath]\n%s=%s\n" % (key, library))
        self.temp = self.temporary_directory()

    def host_path(self, path):
        return "Z:" + path.replace("/", "\\") if self.wine else path

    def temporary_directory(self):
        if not self.wine:
            temp = os.path.join(self.work, "tmp")
            os.makedirs(temp)
            return temp
        # Wine gives its programs the prefix's own folder, whatever the
        # environment says.
        shown = subprocess.run([self.wine, "cmd", "/c", "echo", "%TMP%"], capture_output=True, text=True,
                               check=True).stdout.strip()
        unix = subprocess.run([self.wine, "winepath", "-u", shown], capture_output=True, text=True,
                              check=True).stdout.strip()
        return unix

    def temp_files(self):
        return sorted(n for n in os.listdir(self.temp) if n.startswith("CBx-"))

    def thumbnail(self, archive, output, *options, timeout=None):
        command = [self.args.tool, "--module", self.host_path(self.module), *options, "--dump",
                   self.host_path(os.path.join(self.args.archives, archive)), self.host_path(output)]
        if self.wine:
            command.insert(0, self.wine)
        env = dict(os.environ)
        if not self.wine:
            env["TMPDIR"] = self.temp
        started = time.monotonic()
        result = subprocess.run(command, env=env, capture_output=True, timeout=timeout)
        return result.returncode, time.monotonic() - started, result.stderr.decode(errors="replace")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--tool", "--module", "--archives", "--library", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("--wine")
    args = parser.parse_args()
    runner = Runner(args)
    failures = []
    before = runner.temp_files()
    print("temporary folder of the module: %s" % runner.temp)

    # (archive, cover page, box)
    covers = [("zip-deflate.cbz", 1, (256, 256)), ("7z-lzma2-solid.cb7", 1, (256, 256)),
              ("tar-gnu.cbt", 1, (256, 256)), ("digits.cbz", 9, (256, 256)), ("7z-bcj2.cb7", 1, (64, 64)),
              ("tar-ustar.cbt", 1, (40, 16))]
    for archive, number, (box_width, box_height) in covers:
        output = os.path.join(runner.work, archive + ".pam")
        options = ["--box", "%dx%d" % (box_width, box_height)]
        code, seconds, stderr = runner.thumbnail(archive, output, *options)
        if code != 0:
            failures.append("%s: exit code %d, %s" % (archive, code, stderr.strip()))
            continue
        width, height, depth, tuple_type, pixels = read_pam(output)
        expected_size = fit_size(10 + number, 7, box_width, box_height)
        expected = thumbnail_pixel(number) * (expected_size[0] * expected_size[1])
        if (width, height) != expected_size or depth != 4 or tuple_type != "BGRA":
            failures.append("%s: %dx%d depth %d %s, expected %dx%d BGRA" %
                            (archive, width, height, depth, tuple_type, *expected_size))
        elif pixels != expected:
            wrong = next(i for i in range(len(expected)) if pixels[i] != expected[i])
            failures.append("%s: byte %d is %d, page %d gives %d" % (archive, wrong, pixels[wrong], number,
                                                                    expected[wrong]))
        print("%-20s page %d, %dx%d in %dx%d, %.2f s" % (archive, number, width, height, box_width, box_height,
                                                         seconds))

    for archive in ("truncated.cbz", "truncated.cb7", "truncated.cbt", "zip-aes.cbz", "7z-encrypted.cb7",
                    "7z-encrypted-headers.cb7", "inflates-4gib.cbz", "inflates-600mib.cb7", "sparse-4gib.cbt",
                    "declares-4kib-inflates-64mib.cbz", "jpeg-renamed.cbz", "empty.cbz"):
        output = os.path.join(runner.work, archive + ".pam")
        code, seconds, stderr = runner.thumbnail(archive, output)
        print("%-26s exit code %d in %.2f s" % (archive, code, seconds))
        if code != 1:
            failures.append("%s: exit code %d, expected 1: %s" % (archive, code, stderr.strip()))
        if os.path.exists(output):
            failures.append("%s: an output file was written" % archive)

    # Names that are no regular file: the program must answer at once, with
    # no thumbnail. A call still running after 10 s is ended by the
    # timeout; more than 4 s counts as blocked.
    if not runner.wine:
        special = os.path.join(runner.work, "special")
        os.makedirs(os.path.join(special, "folder.cbz"))
        names = [os.path.join(special, "folder.cbz"), "/dev/zero"]
        for extension in (".cbz", ".cbr", ".cb7", ".cbt"):
            names.append(os.path.join(special, "fifo" + extension))
            os.mkfifo(names[-1])
        for name in names:
            output = os.path.join(runner.work, os.path.basename(name) + ".pam")
            try:
                code, seconds, stderr = runner.thumbnail(name, output, timeout=10)
            except subprocess.TimeoutExpired:
                code, seconds, stderr = None, 10.0, "still running after 10 s"
            print("%-26s exit code %s in %.2f s" % (name, code, seconds))
            if code != 1 or seconds > 4:
                failures.append("%s: exit code %s in %.2f s, expected 1 at once: %s" % (name, code, seconds,
                                                                                         stderr.strip()))

    left = [n for n in runner.temp_files() if n not in before]
    if left:
        failures.append("temporary files left: %s" % ", ".join(left))
    for failure in failures:
        print("FAIL " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
