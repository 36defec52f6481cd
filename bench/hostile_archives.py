#!/usr/bin/env python3
"""What hostile archives cost one whole quillet-thumbnail process.

Builds hostile fixtures (disk bombs, a ZIP that lies about its sizes, 150,000
distinct names, pixel bombs, a progressive JPEG of 883 scans in a 3 KB CBZ, a
FIFO, RAR link entries, a damaged RAR), runs each through the built
quillet-thumbnail under /usr/bin/time -v with TMPDIR at a fresh folder and
the working directory in a folder of its own, and
prints for each: exit code, wall time, peak memory, the most bytes seen in
the temporary folder, whether anything outside it was created or changed,
and what was left behind, beside the target for that kind of file. It only
reports; it fails on nothing.

    python3 bench/hostile_archives.py [--build build/linux] [--runs 3]
                                      [--fixtures DIR] [--only NAME...]
    python3 bench/hostile_archives.py --wine [--build build/windows]

With --wine the Windows program runs under Wine (the build's wine-run.sh) with the
test DLLs from ~/.cache/quillet/windows-libs; Wine keeps its own temporary
folder, so there only the files the module makes in it (CBx-*) are measured.
--fixtures keeps the fixtures in DIR and reuses them on the next run (the
large ones take a while to compress).
"""
import argparse
import os
import random
import re
import shutil
import stat
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zipfile
import zlib

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "fixtures"))
import pages  # noqa: E402
MiB = 1024 * 1024

# The 92-byte RAR 5 file with a wrong header CRC that crashes unrar 6.2.6.
DAMAGED_RAR = bytes.fromhex(
    "526172211a070100f3e1efeb0b010507000602010060c0000250747effff461ee2c38080800100eccd2502030be40004000c29"
    "8302087b77e5800001077030312e706e67f38080800100eccde40b250203000400030be48950fbfb36")


# ---- Fixtures ---------------------------------------------------------------

def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def flat_png(width, height):
    """A valid black PNG, one bit a pixel, its rows compressed by zlib: a
    20000 x 20000 image fits in tens of kilobytes."""
    row = b"\x00" * (1 + (width + 7) // 8)
    packer = zlib.compressobj(9)
    parts = []
    rows_at_once = max(1, (8 * MiB) // len(row))
    for start in range(0, height, rows_at_once):
        parts.append(packer.compress(row * min(rows_at_once, height - start)))
    parts.append(packer.flush())
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 1, 0, 0, 0, 0)) +
            png_chunk(b"IDAT", b"".join(parts)) + png_chunk(b"IEND", b""))


def small_png(rgb=(200, 40, 40)):
    raw = b"".join(b"\x00" + bytes(rgb) * 4 for _ in range(4))
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", 4, 4, 8, 2, 0, 0, 0)) +
            png_chunk(b"IDAT", zlib.compress(raw)) + png_chunk(b"IEND", b""))


def run_tool(command, cwd=None):
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def sparse_zeros(path, size):
    with open(path, "wb") as f:
        f.truncate(size)


def distinct_names(count, seed):
    """Distinct names without digits, page-<letters>.png, in a shuffled order."""
    names = []
    for i in range(count):
        letters, n = "", i
        while True:
            letters += chr(ord("a") + n % 26)
            n //= 26
            if n == 0:
                break
        names.append("page-%s.png" % letters)
    random.Random(seed).shuffle(names)
    return names


def make_disk_bomb_rar(folder, path):
    stage = os.path.join(folder, "stage-rar-bomb")
    os.makedirs(stage, exist_ok=True)
    sparse_zeros(os.path.join(stage, "p001.png"), 600 * MiB)
    run_tool(["rar", "a", "-idq", "-m5", "-ep1", path, os.path.join(stage, "p001.png")])
    shutil.rmtree(stage)


def make_disk_bomb_7zz(folder, path, kind):
    stage = os.path.join(folder, "stage-7zz-bomb-" + kind)
    os.makedirs(stage, exist_ok=True)
    sparse_zeros(os.path.join(stage, "p001.png"), 4096 * MiB)
    method = ["-mx1"] if kind == "zip" else ["-mx1", "-m0=lzma2"]
    run_tool(["7zz", "a", "-bd", "-t" + kind, *method, path, "p001.png"], cwd=stage)
    shutil.rmtree(stage)


def make_lying_zip(path, real_size=1024 * MiB, declared=4096):
    """One deflated entry p001.png that says it holds `declared` bytes (sizes in
    both headers, a CRC to match) and inflates to `real_size` zeros."""
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    chunk = b"\x00" * (16 * MiB)
    data = b"".join(packer.compress(chunk) for _ in range(real_size // len(chunk))) + packer.flush()
    name = b"p001.png"
    crc = zlib.crc32(b"\x00" * declared) & 0xFFFFFFFF
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0, crc, len(data), declared, len(name), 0) + name
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0, crc, len(data), declared,
                          len(name), 0, 0, 0, 0, 0, 0) + name
    with open(path, "wb") as f:
        f.write(local + data)
        offset = len(local) + len(data)
        f.write(central)
        f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), offset, 0))


def make_many_names_cbz(path, count=150000):
    """Empty entries with distinct digit-less names; the first in archive order,
    the cover by the naming rule, alone holds a real page, so a thumbnail is
    made only when the rule picked it."""
    names = distinct_names(count, 11)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as archive:
        archive.writestr(names[0], small_png())
        for name in names[1:]:
            archive.writestr(name, b"")


def make_many_names_cb7(folder, path, count=150000):
    """As the CBZ, with 7-Zip's own archive order: 7zz stores the items sorted
    by name, and every empty item before every item with data. So every item
    holds a byte that decodes as nothing, and the first name in that order,
    the cover by the rule, alone holds a real page: a thumbnail is made only
    when the rule picked it. The order is read back to make sure."""
    stage = os.path.join(folder, "stage-names")
    os.makedirs(stage, exist_ok=True)
    names = distinct_names(count, 12)
    cover = min(names)
    for name in names:
        with open(os.path.join(stage, name), "wb") as f:
            f.write(small_png() if name == cover else b"x")
    listing = os.path.join(folder, "names.txt")
    with open(listing, "w") as f:
        f.write("\n".join(names) + "\n")
    run_tool(["7zz", "a", "-bd", "-t7z", "-mx1", path, "@" + listing], cwd=stage)
    shutil.rmtree(stage)
    os.remove(listing)
    shown = subprocess.run(["7zz", "l", "-slt", path], check=True, capture_output=True, text=True).stdout
    items = shown.split("\n----------\n", 1)[-1]  # past the archive's own properties
    first = next(line[len("Path = "):] for line in items.split("\n") if line.startswith("Path = "))
    if first != cover:
        os.remove(path)
        raise OSError("7zz put %s first, not the cover %s" % (first, cover))


def make_image_cbz(path, png, name="p001.png"):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        archive.writestr(name, png)


def make_link_rar(folder, path, kind):
    """A CBR whose cover is a link entry: a symlink to ../victim/secret.png
    (resolved from the temporary folder), or a hard link or file reference to
    p2.png, which the library resolves from the current directory."""
    stage = os.path.join(folder, "stage-" + kind)
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(os.path.join(stage, "a"))
    if kind == "symlink":
        os.symlink("../victim/secret.png", os.path.join(stage, "a", "p1.png"))
        run_tool(["rar", "a", "-idq", "-ol", path, "a/p1.png"], cwd=stage)
    else:
        with open(os.path.join(stage, "p2.png"), "wb") as f:
            f.write(small_png((10, 200, 10)))
        if kind == "hardlink":
            os.link(os.path.join(stage, "p2.png"), os.path.join(stage, "p1.png"))
            run_tool(["rar", "a", "-idq", "-oh", path, "p2.png", "p1.png"], cwd=stage)
        else:
            shutil.copyfile(os.path.join(stage, "p2.png"), os.path.join(stage, "p1.png"))
            run_tool(["rar", "a", "-idq", "-oi:1", "-ds", path, "p2.png", "p1.png"], cwd=stage)
    shutil.rmtree(stage)


# Target texts, by kind of case.
DISK_BOMB = "refused: <= 0.1 s, <= 1 MiB written"
LYING = "stopped at the cap: <= 512 MiB written"
MANY_NAMES = "<= 1 s whole process"
PIXEL_BOMB = "exit 1, <= 50 ms, <= 64 MiB"
HOSTILE = "exit 1, <= 3 s, <= 256 MiB, nothing outside, nothing left"
REAL_PAGE = "exit 0 (a thumbnail)"

# name, file name, target, maker(folder, path), whether it applies under Wine
CASES = [
    ("disk-bomb-cbr-600mib", "bomb-600mib.cbr", DISK_BOMB, lambda d, p: make_disk_bomb_rar(d, p), True),
    ("disk-bomb-cb7-4gib", "bomb-4gib.cb7", DISK_BOMB, lambda d, p: make_disk_bomb_7zz(d, p, "7z"), True),
    ("disk-bomb-cbz-4gib", "bomb-4gib.cbz", DISK_BOMB, lambda d, p: make_disk_bomb_7zz(d, p, "zip"), True),
    ("lying-size-cbz-1gib", "lying-size.cbz", LYING, lambda d, p: make_lying_zip(p), True),
    ("names-150000-cbz", "names-150000.cbz", MANY_NAMES + "; exit 0 = the rule's pick",
     lambda d, p: make_many_names_cbz(p), True),
    ("names-150000-cb7", "names-150000.cb7", MANY_NAMES + "; exit 0 = the rule's pick", lambda d, p: make_many_names_cb7(d, p), True),
    ("pixels-20000x20000", "pixels-20000x20000.cbz", PIXEL_BOMB,
     lambda d, p: make_image_cbz(p, flat_png(20000, 20000)), True),
    ("pixels-12000x12000", "pixels-12000x12000.cbz", PIXEL_BOMB,
     lambda d, p: make_image_cbz(p, flat_png(12000, 12000)), True),
    ("jpeg-883-scans", "jpeg-883-scans.cbz", PIXEL_BOMB,
     lambda d, p: make_image_cbz(p, pages.progressive_jpeg(8000, 12500, 13), "p001.jpg"), True),
    ("page-8000x12500", "page-8000x12500.cbz", REAL_PAGE, lambda d, p: make_image_cbz(p, flat_png(8000, 12500)),
     True),
    ("fifo-cbz", "x.cbz", HOSTILE, lambda d, p: os.mkfifo(p), False),
    ("rar-symlink-cover", "symlink.cbr", HOSTILE, lambda d, p: make_link_rar(d, p, "symlink"), True),
    ("rar-hardlink-cover", "hardlink.cbr", HOSTILE, lambda d, p: make_link_rar(d, p, "hardlink"), True),
    ("rar-reference-cover", "reference.cbr", HOSTILE, lambda d, p: make_link_rar(d, p, "reference"), True),
    ("damaged-rar-92-bytes", "damaged.cbr", HOSTILE, lambda d, p: open(p, "wb").write(DAMAGED_RAR), True),
]


def fixture_path(folder, case):
    name, file_name, _, maker, _ = case
    path = os.path.join(folder, file_name)
    if os.path.lexists(path):
        return path
    started = time.monotonic()
    try:
        maker(folder, path)
    except (subprocess.CalledProcessError, OSError) as error:
        detail = error.stderr.decode(errors="replace").strip() if hasattr(error, "stderr") and error.stderr else ""
        print("  could not make %s: %s %s" % (name, error, detail))
        if os.path.lexists(path):
            os.remove(path)
        return None
    if stat.S_ISREG(os.lstat(path).st_mode):
        print("  made %-24s %10d bytes in %.1f s" % (file_name, os.path.getsize(path), time.monotonic() - started))
    return path


# ---- Running ----------------------------------------------------------------

def tree_state(folder, skip=()):
    """Every entry under folder: kind, size, mode, links and modification time."""
    state = {}
    for root, dirs, files in os.walk(folder):
        dirs[:] = [d for d in dirs if os.path.join(root, d) not in skip]
        for entry in dirs + files:
            path = os.path.join(root, entry)
            st = os.lstat(path)
            state[path] = (stat.S_IFMT(st.st_mode), st.st_size, stat.S_IMODE(st.st_mode), st.st_nlink, st.st_mtime_ns)
    return state


def folder_bytes(folder, prefix=""):
    total = 0
    try:
        with os.scandir(folder) as entries:
            for entry in entries:
                if not entry.name.startswith(prefix):
                    continue
                try:
                    st = entry.stat(follow_symlinks=False)
                except OSError:
                    continue
                if stat.S_ISDIR(st.st_mode):
                    total += folder_bytes(entry.path)
                else:
                    total += max(st.st_size, st.st_blocks * 512) if stat.S_ISREG(st.st_mode) else 0
    except OSError:
        pass
    return total


class DiskWatcher(threading.Thread):
    """Samples the bytes in the temporary folder every few milliseconds and
    keeps the largest figure seen."""

    def __init__(self, folder, prefix):
        super().__init__(daemon=True)
        self.folder, self.prefix = folder, prefix
        self.peak = 0
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set():
            self.peak = max(self.peak, folder_bytes(self.folder, self.prefix))
            self.stopping.wait(0.005)

    def stop(self):
        self.stopping.set()
        self.join()
        self.peak = max(self.peak, folder_bytes(self.folder, self.prefix))


class Host:
    def __init__(self, args, work):
        self.wine = args.wine
        self.work = work
        self.module_dir = os.path.join(work, "module")
        os.makedirs(self.module_dir)
        libraries = os.path.expanduser("~/.cache/quillet/windows-libs")
        if self.wine:
            self.program = os.path.join(args.build, "quillet-thumbnail.exe")
            module = os.path.join(args.build, "Quillet.wlx64")
            settings = {"7z.64.dll": self.host_path(os.path.join(libraries, "7z.64.dll")),
                        "unrar64.dll": self.host_path(os.path.join(libraries, "unrar64.dll"))}
            self.runner = [os.path.join(args.build, "wine-run.sh")]
        else:
            self.program = os.path.join(args.build, "quillet-thumbnail")
            module = os.path.join(args.build, "Quillet.wlx")
            settings = {"7z.so": "/usr/lib/p7zip/7z.so", "libunrar.so.5": "libunrar.so.5"}
            self.runner = []
        for path in (self.program, module):
            if not os.path.isfile(path):
                sys.exit("%s is missing: build first (--build names the build folder)" % path)
        self.module = os.path.join(self.module_dir, os.path.basename(module))
        shutil.copyfile(module, self.module)
        with open(os.path.join(self.module_dir, "Quillet.ini"), "w", newline="\r\n" if self.wine else "\n") as f:
            f.write("[DllPath]\n" + "".join("%s=%s\n" % item for item in settings.items()))
        if self.wine:
            # Wine gives its programs the prefix's own folder, whatever TMP says.
            shown = subprocess.run(self.runner + ["cmd", "/c", "echo", "%TMP%"], capture_output=True,
                                   text=True).stdout.strip()
            self.temp = subprocess.run(self.runner + ["winepath", "-u", shown], capture_output=True,
                                       text=True).stdout.strip()
            self.temp_prefix = "CBx-"
        else:
            self.temp = os.path.join(work, "tmp")
            self.temp_prefix = ""
        self.cwd = os.path.join(work, "cwd")
        self.victim = os.path.join(work, "victim")
        self.output = os.path.join(work, "out")
        for folder in (self.temp, self.cwd, self.victim, self.output):
            os.makedirs(folder, exist_ok=True)
        # What the link entries point at: a page outside the archive beside
        # the temporary folder, and a read-only one in the current directory.
        with open(os.path.join(self.victim, "secret.png"), "wb") as f:
            f.write(small_png((1, 2, 3)))
        with open(os.path.join(self.cwd, "p2.png"), "wb") as f:
            f.write(small_png((4, 5, 6)))
        os.chmod(os.path.join(self.cwd, "p2.png"), 0o444)

    def host_path(self, path):
        return "Z:" + path.replace("/", "\\") if self.wine else path

    def run(self, archive, timeout):
        output = os.path.join(self.output, "thumbnail.png")
        if os.path.exists(output):
            os.remove(output)
        left_before = set(os.listdir(self.temp))
        watched = [self.work] + ([] if self.wine else [])
        before = tree_state(self.work, skip={self.temp, self.output})
        report = os.path.join(self.output, "time.txt")
        command = ["/usr/bin/time", "-v", "-o", report, *self.runner, self.program, "--module",
                   self.host_path(self.module), self.host_path(archive), self.host_path(output)]
        env = dict(os.environ)
        if not self.wine:
            env["TMPDIR"] = self.temp
        watcher = DiskWatcher(self.temp, self.temp_prefix)
        watcher.start()
        started = time.monotonic()
        process = subprocess.Popen(command, cwd=self.cwd, env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            process.wait(timeout=timeout)
            code = None
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, 9)
            process.wait()
            code = "hung"
        wall = time.monotonic() - started
        watcher.stop()
        figures = {"wall": wall, "cpu": None, "rss": None, "exit": code}
        if code is None and os.path.exists(report):
            text = open(report).read()
            rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", text)
            exit_status = re.search(r"Exit status: (-?\d+)", text)
            signal = re.search(r"Command terminated by signal (\d+)", text)
            elapsed = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): ([\d:.]+)", text)
            figures["rss"] = int(rss.group(1)) * 1024 if rss else None
            user = re.search(r"User time \(seconds\): ([\d.]+)", text)
            system = re.search(r"System time \(seconds\): ([\d.]+)", text)
            if user and system:
                figures["cpu"] = float(user.group(1)) + float(system.group(1))
            figures["exit"] = ("signal %s" % signal.group(1)) if signal else (
                int(exit_status.group(1)) if exit_status else process.returncode)
            if elapsed:
                seconds = 0.0
                for part in elapsed.group(1).split(":"):
                    seconds = seconds * 60 + float(part)
                figures["wall"] = seconds
        after = tree_state(self.work, skip={self.temp, self.output})
        changed = sorted(os.path.relpath(p, self.work) for p in set(before) | set(after)
                         if before.get(p) != after.get(p))
        left = sorted(n for n in set(os.listdir(self.temp)) - left_before if n.startswith(self.temp_prefix))
        for name in left:
            path = os.path.join(self.temp, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                os.remove(path)
        # Undo what a run changed outside, so that every run starts alike.
        os.chmod(os.path.join(self.cwd, "p2.png"), 0o444)
        figures.update(disk=watcher.peak, changed=changed, left=left)
        return figures


def show_bytes(n):
    if n is None:
        return "?"
    return "%.1f MiB" % (n / MiB) if n >= MiB else "%.0f KiB" % (n / 1024) if n >= 1024 else "%d B" % n


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", help="build folder holding quillet-thumbnail (default build/linux, "
                        "build/windows with --wine)")
    parser.add_argument("--wine", action="store_true", help="run the Windows build under Wine")
    parser.add_argument("--runs", type=int, default=3, help="runs per case; the median is shown (default 3)")
    parser.add_argument("--timeout", type=float, default=60, help="seconds before a run counts as hung")
    parser.add_argument("--fixtures", help="keep the fixtures in this folder and reuse them")
    parser.add_argument("--only", nargs="*", help="run only the cases whose names contain one of these")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build or os.path.join(REPO, "build", "windows" if args.wine else "linux"))
    if not os.path.exists("/usr/bin/time"):
        sys.exit("/usr/bin/time is missing: apt-get install time")

    work = tempfile.mkdtemp(prefix="quillet-hostile-")
    try:
        fixtures = os.path.abspath(args.fixtures) if args.fixtures else os.path.join(work, "fixtures")
        os.makedirs(fixtures, exist_ok=True)
        host = Host(args, os.path.join(work, "run"))
        cases = [c for c in CASES if not args.only or any(o in c[0] for o in args.only)]
        if args.wine:
            cases = [c for c in cases if c[4]]
        print("program: %s%s" % (host.program, " (under Wine)" if args.wine else ""))
        print("temporary folder: %s; making fixtures in %s" % (host.temp, fixtures))
        rows = []
        for case in cases:
            path = fixture_path(fixtures, case)
            if path is None:
                rows.append((case[0], None, case[2]))
                continue
            runs = [host.run(path, args.timeout) for _ in range(max(1, args.runs))]
            rows.append((case[0], runs, case[2]))

        print()
        header = ("case", "exit", "wall s", "cpu s", "peak RSS", "temp peak", "outside changed", "left behind",
                  "target")
        print("%-22s %-9s %8s %7s %10s %10s %-16s %-12s %s" % header)
        for name, runs, target in rows:
            if runs is None:
                print("%-22s %s" % (name, "(no fixture)"))
                continue
            exits = sorted({str(r["exit"]) for r in runs})
            wall = statistics.median(r["wall"] for r in runs)
            cpus = [r["cpu"] for r in runs if r["cpu"] is not None]
            cpu = "%7.3f" % statistics.median(cpus) if cpus else "%7s" % "?"
            rss = [r["rss"] for r in runs if r["rss"] is not None]
            disk = statistics.median(r["disk"] for r in runs)
            changed = sorted({p for r in runs for p in r["changed"]})
            left = sorted({p for r in runs for p in r["left"]})
            print("%-22s %-9s %8.3f %s %10s %10s %-16s %-12s %s" % (
                name, ",".join(exits), wall, cpu, show_bytes(statistics.median(rss)) if rss else "?",
                show_bytes(disk), ", ".join(changed)[:60] or "no", ", ".join(left)[:40] or "nothing", target))
        print("\nmedians of %d run(s) each; wall time, CPU time (user + system) and peak RSS of the whole process from /usr/bin/time -v; "
              "temp peak = most bytes seen in the temporary folder%s" %
              (max(1, args.runs), " (CBx-* files only)" if args.wine else ""))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
