#!/usr/bin/env python3
"""How long one thumbnail takes, whole process, cold: quillet-thumbnail
beside evince-thumbnailer on the same comics, in one run.

Makes six 1988 x 3056 JPEG pages at quality 88 (about 1.5 MB each, drawn by
ImageMagick from plasma, noise and text so that they compress like scanned
pages) and packs them into a stored CBZ, a CB7, a CBT and a solid CBR with the
cover first, and a solid CB7 and a solid CBR with the cover last; also a CBZ
of the cover as a PNG. Every request is a new process; the two programs take
turns, RUNS times each, and the medians are compared. Also printed: page faults and peak RSS of one
Quillet run, the floor (build/linux/quillet_decode_floor: a process that only
decodes the cover page whole, the least any thumbnail made from the full-size
pixels costs, on one thread and split over two), the library's own extraction of the last entry of the solid
archives (7zz e -so, unrar p), the rate of --cache with one and with two jobs
over COMICS copies of the CBZ, and the peak RSS of an 8000 x 8000 page per
pixel.

    python3 bench/whole_process.py [--program build/linux/quillet-thumbnail]
                                   [--runs 11] [--fixtures DIR] [--only cbz,cb7]
                                   [--comics 200]

The fixtures are kept in DIR (build/bench-fixtures unless told) and reused.

    python3 bench/whole_process.py --wine build/windows --previous OLD/build/windows

times the Windows build under Wine instead, against an earlier Windows build
of Quillet (evince has no Windows build to compare with): the two
quillet-thumbnail.exe take turns on the CBZ, CB7, CBT and solid CBR with the
cover first, each loading its own Quillet.wlx64 with the test copies of the
archive libraries from ~/.cache/quillet/windows-libs, in the one Wine prefix
and server of the first build's wine-run.sh.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

WIDTH, HEIGHT, QUALITY, PAGES = 1988, 3056, 88, 6
BOX = 256
CACHE_ROUNDS = 3
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def imagemagick():
    """The ImageMagick command-line program (the versioned name first: a
    plain `convert` earlier on PATH may be something else)."""
    for name in ("convert-im6.q16", "magick", "convert"):
        if shutil.which(name):
            return name
    sys.exit("ImageMagick is missing (scripts/setup.sh installs it)")


def run_quiet(command, **kwargs):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kwargs)


def make_pages(folder):
    """page01.jpg (the cover) to page06.jpg, each with its own number drawn on."""
    base = os.path.join(folder, "base.miff")
    if not os.path.exists(base):
        run_quiet([imagemagick(), "-size", "%dx%d" % (WIDTH, HEIGHT), "-seed", "12", "plasma:fractal",
                   "-attenuate", "0.35", "+noise", "Gaussian", base])
    pages = []
    for number in range(1, PAGES + 1):
        page = os.path.join(folder, "page%02d.jpg" % number)
        if not os.path.exists(page):
            run_quiet([imagemagick(), base, "-fill", "black", "-pointsize", "90",
                       "-annotate", "+120+240", "Issue 7, page %d" % number,
                       "-pointsize", "40", "-annotate", "+120+2900",
                       "Lorem ipsum dolor sit amet, consectetur adipiscing elit %d" % number,
                       "-quality", str(QUALITY), page])
        pages.append(page)
    return pages


def make_archives(folder, pages):
    folder = os.path.abspath(folder)
    names = [os.path.basename(p) for p in pages]
    made = {}

    def once(name, build):
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            build(path)
        made[name] = path

    def stored_zip(path):
        with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as archive:
            for page in pages:
                archive.write(page, os.path.basename(page))

    once("stored.cbz", stored_zip)
    once("cover-first.cb7", lambda p: run_quiet(["7zz", "a", "-bd", "-t7z", p] + names, cwd=folder))
    once("cover-first.cbt", lambda p: run_quiet(["tar", "-cf", p] + names, cwd=folder))
    once("solid-cover-first.cbr", lambda p: run_quiet(["rar", "a", "-idq", "-ma5", "-s", "-ds", p] + names,
                                                      cwd=folder))
    # The cover is chosen by its number but stored last: everything before
    # it in the solid stream has to be unpacked. 7-Zip stores entries sorted
    # by name, so the cover is "page1.jpg", after "page06.jpg".
    last = os.path.join(folder, "cover-last")
    os.makedirs(last, exist_ok=True)
    last_names = names[1:] + ["page1.jpg"]
    for page, name in zip(pages[1:] + pages[:1], last_names):
        if not os.path.exists(os.path.join(last, name)):
            shutil.copyfile(page, os.path.join(last, name))
    once("solid-cover-last.cb7", lambda p: run_quiet(["7zz", "a", "-bd", "-t7z", "-ms=on", p] + last_names,
                                                     cwd=last))
    once("solid-cover-last.cbr", lambda p: run_quiet(["rar", "a", "-idq", "-ma5", "-s", "-ds", p] + last_names,
                                                     cwd=last))

    # The same cover as a PNG page (RGB, 8 bits), as scans and digital
    # comics often come.
    def png_cbz(path):
        page = os.path.join(folder, "page01.png")
        if not os.path.exists(page):
            run_quiet([imagemagick(), pages[0], "PNG24:" + page])
        with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as archive:
            archive.write(page, "page01.png")

    once("png-page.cbz", png_cbz)
    return made


def make_huge_page(folder, pages):
    path = os.path.join(folder, "huge.cbz")
    if not os.path.exists(path):
        page = os.path.join(folder, "huge.jpg")
        run_quiet([imagemagick(), pages[0], "-resize", "8000x8000!", "-quality", str(QUALITY), page])
        with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as archive:
            archive.write(page, "page01.jpg")
    return path


def timed(command):
    """Wall time in seconds and the child's resource use, or None for a
    failed run."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        return None, usage
    return seconds, usage


def median_ms(values):
    return statistics.median(values) * 1000.0


def median_cpu_ms(usages):
    """Processor time, user and system: on a busy machine the wall time is
    mostly waiting for a core, the processor time is not."""
    return statistics.median(u.ru_utime + u.ru_stime for u in usages) * 1000.0


def measure(commands, runs):
    """Runs each command once per round, in turn, for `runs` rounds; returns
    the times and usages per command."""
    times = [[] for _ in commands]
    usages = [[] for _ in commands]
    for _ in range(runs):
        for i, command in enumerate(commands):
            seconds, usage = timed(command)
            if seconds is None:
                sys.exit("failed: %s" % " ".join(command))
            times[i].append(seconds)
            usages[i].append(usage)
    return times, usages


def compare_windows_builds(args, archives, out):
    """Under Wine: the Windows build against an earlier one, in turns."""
    libraries = os.path.expanduser("~/.cache/quillet/windows-libs")
    runner = os.path.join(os.path.abspath(args.wine), "wine-run.sh")

    def windows_path(path):
        return "Z:" + path.replace("/", "\\")

    hosts = []
    for label, build in (("this build", args.wine), ("previous", args.previous)):
        build = os.path.abspath(build)
        program = os.path.join(build, "quillet-thumbnail.exe")
        module = os.path.join(build, "Quillet.wlx64")
        for path in (program, module, runner) + tuple(os.path.join(libraries, n) for n in ("7z.64.dll", "unrar64.dll")):
            if not os.path.isfile(path):
                sys.exit("%s is missing" % path)
        # Each module in a folder of its own, its settings naming the test
        # libraries.
        folder = os.path.join(out, "module-%d" % len(hosts))
        os.makedirs(folder)
        shutil.copyfile(module, os.path.join(folder, "Quillet.wlx64"))
        with open(os.path.join(folder, "Quillet.ini"), "w", newline="\r\n") as f:
            f.write("[DllPath]\n7z.64.dll=%s\nunrar64.dll=%s\n" %
                    (windows_path(os.path.join(libraries, "7z.64.dll")),
                     windows_path(os.path.join(libraries, "unrar64.dll"))))
        hosts.append((label, [runner, program, "--module", windows_path(os.path.join(folder, "Quillet.wlx64"))]))
    output = windows_path(os.path.join(out, "wine.png"))
    # The wine server starts with the first program and stays between runs,
    # as it does on a desktop that runs Windows programs.
    subprocess.run(hosts[0][1][:2] + ["--version"], check=True, stdout=subprocess.DEVNULL)

    print()
    print("%-24s %10s %10s %8s %20s" % ("under Wine", "this build", "previous", "ratio", "processor time ratio"))
    for kind, name in (("cbz", "stored.cbz"), ("cb7", "cover-first.cb7"), ("cbt", "cover-first.cbt"),
                       ("cbr", "solid-cover-first.cbr")):
        if args.only_set and kind not in args.only_set:
            continue
        commands = [command + ["-s", str(BOX), windows_path(archives[name]), output] for _, command in hosts]
        times, usages = measure(commands, args.runs)
        now, before = median_ms(times[0]), median_ms(times[1])
        now_cpu, before_cpu = median_cpu_ms(usages[0]), median_cpu_ms(usages[1])
        print("%-24s %8.1f ms %7.1f ms %7.2fx   %5.1f / %5.1f ms %5.2fx" %
              (name, now, before, before / now, now_cpu, before_cpu, before_cpu / now_cpu))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "linux", "quillet-thumbnail"))
    parser.add_argument("--runs", type=int, default=11)
    parser.add_argument("--fixtures", default=os.path.join(ROOT, "build", "bench-fixtures"))
    parser.add_argument("--comics", type=int, default=200, help="comics for the --cache run")
    parser.add_argument("--only", default="",
                        help="comma-separated parts: cbz, cb7, cbt, cbr, png, last, cache, huge")
    parser.add_argument("--wine", metavar="BUILD", help="a Windows build folder: time it under Wine")
    parser.add_argument("--previous", metavar="BUILD", help="with --wine: the earlier Windows build to compare with")
    args = parser.parse_args()
    only = set(filter(None, args.only.split(",")))
    args.only_set = only
    if bool(args.wine) != bool(args.previous):
        parser.error("--wine and --previous go together")
    imagemagick()
    tools = ("7zz", "rar", "tar") if args.wine else ("7zz", "rar", "unrar", "tar", "evince-thumbnailer",
                                                      "gdk-pixbuf-thumbnailer")
    for tool in tools:
        if shutil.which(tool) is None:
            sys.exit("%s is missing (scripts/setup.sh installs it)" % tool)
    program = os.path.abspath(args.program)
    args.fixtures = os.path.abspath(args.fixtures)
    os.makedirs(args.fixtures, exist_ok=True)
    pages = make_pages(args.fixtures)
    archives = make_archives(args.fixtures, pages)
    print("page: %dx%d JPEG q%d, %.2f MB; box %d; %d alternating runs, medians" %
          (WIDTH, HEIGHT, QUALITY, os.path.getsize(pages[0]) / 1e6, BOX, args.runs))

    out = tempfile.mkdtemp(prefix="quillet-bench-")
    if args.wine:
        try:
            compare_windows_builds(args, archives, out)
        finally:
            shutil.rmtree(out, ignore_errors=True)
        return
    try:
        quillet_png = os.path.join(out, "quillet.png")
        evince_png = os.path.join(out, "evince.png")

        def quillet(path):
            return [program, "-s", str(BOX), path, quillet_png]

        def evince(path):
            return ["evince-thumbnailer", "-s", str(BOX), path, evince_png]

        print()
        print("%-24s %10s %10s %8s %9s %9s %20s" % ("whole process", "Quillet", "evince", "ratio", "faults", "peak RSS",
                                                     "processor time ratio"))
        evince_cbz = None
        rows = (("cbz", "stored.cbz", 2.5), ("cb7", "cover-first.cb7", 2.5), ("cbt", "cover-first.cbt", 2.5),
                ("cbr", "solid-cover-first.cbr", 4.0), ("png", "png-page.cbz", None))
        for kind, name, target in rows:
            if only and kind not in only:
                continue
            times, usages = measure([quillet(archives[name]), evince(archives[name])], args.runs)
            q, e = median_ms(times[0]), median_ms(times[1])
            if name == "stored.cbz":
                evince_cbz = e
            faults = statistics.median(u.ru_minflt + u.ru_majflt for u in usages[0])
            peak = statistics.median(u.ru_maxrss for u in usages[0]) / 1024.0
            qc, ec = median_cpu_ms(usages[0]), median_cpu_ms(usages[1])
            print("%-24s %8.1f ms %7.1f ms %7.2fx %9d %6.1f MiB   %5.1f / %5.1f ms %5.2fx   %s" %
                  (name, q, e, e / q, faults, peak, qc, ec, ec / qc,
                   "(target >= %.1fx)" % target if target else "(no target: the cover as a PNG)"))

        if not only or "cbz" in only:
            times, _ = measure([["gdk-pixbuf-thumbnailer", "-s", str(BOX), pages[0], evince_png]], args.runs)
            print("%-24s %11s %7.1f ms   (gdk-pixbuf-thumbnailer on the bare page)" %
                  ("page01.jpg", "-", median_ms(times[0])))
            floor = os.path.join(os.path.dirname(program), "quillet_decode_floor")
            if os.path.isfile(floor):
                times, usages = measure([[floor, pages[0], "--threads", "1"], [floor, pages[0], "--threads", "2"]],
                                        args.runs)
                budget = ("; 2.5x evince on the CBZ leaves %.1f ms" % (evince_cbz / 2.5)) if evince_cbz else ""
                print("%-24s %8.1f ms %7.1f ms   (the floor: a process that only decodes the page, on 1 and on 2 "
                      "threads%s)" % ("page01.jpg decode alone", median_ms(times[0]), median_ms(times[1]), budget))
            sample = os.path.join(ROOT, "samples", "sample.cbz")
            times, usages = measure([quillet(sample)], args.runs)
            print("%-24s %8.1f ms %10s %8s %9d %6.1f MiB   %5.1f ms processor time (fixed cost)" %
                  ("samples/sample.cbz", median_ms(times[0]), "-", "-",
                   statistics.median(u.ru_minflt for u in usages[0]),
                   statistics.median(u.ru_maxrss for u in usages[0]) / 1024.0, median_cpu_ms(usages[0])))

        if not only or "last" in only:
            print()
            print("%-24s %10s %10s %8s   %s" % ("solid, cover last", "Quillet", "library", "ratio",
                                               "processor time ratio (target: Quillet within 1.1x of the library)"))
            for name, extract in (("solid-cover-last.cb7", ["7zz", "e", "-so", archives["solid-cover-last.cb7"],
                                                            "page1.jpg"]),
                                  ("solid-cover-last.cbr", ["unrar", "p", "-inul", archives["solid-cover-last.cbr"],
                                                            "page1.jpg"])):
                times, usages = measure([quillet(archives[name]), extract], args.runs)
                q, lib = median_ms(times[0]), median_ms(times[1])
                qc, libc = median_cpu_ms(usages[0]), median_cpu_ms(usages[1])
                print("%-24s %8.1f ms %7.1f ms %7.2fx   %5.1f / %5.1f ms %5.2fx   (%s)" %
                      (name, q, lib, q / lib, qc, libc, qc / libc, " ".join(extract[:2])))

        if not only or "cache" in only:
            # The same comic under many names (hard links): --cache keys its
            # thumbnails by path, so each one is a request of its own.
            library = os.path.join(out, "library")
            os.makedirs(library)
            for n in range(args.comics):
                os.link(archives["stored.cbz"], os.path.join(library, "issue %03d.cbz" % n))
            # One and two jobs take turns, each run into an empty cache, so
            # that what else the machine does falls on both alike.
            rates = {1: [], 2: []}
            for round_number in range(CACHE_ROUNDS):
                for jobs in (1, 2):
                    cache_home = os.path.join(out, "cache-%d-%d" % (jobs, round_number))
                    start = time.perf_counter()
                    subprocess.run([program, "--cache", "-j", str(jobs), library], check=True,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   env=dict(os.environ, XDG_CACHE_HOME=cache_home))
                    rates[jobs].append(args.comics / (time.perf_counter() - start))
                    shutil.rmtree(cache_home, ignore_errors=True)
            one, two = statistics.median(rates[1]), statistics.median(rates[2])
            print()
            print("--cache, %d comics of the CBZ, medians of %d turns: -j 1 %.1f comics/s, -j 2 %.1f comics/s, "
                  "%.2fx   (target >= 1.8x)" % (args.comics, CACHE_ROUNDS, one, two, two / one))

        if not only or "huge" in only:
            huge = make_huge_page(args.fixtures, pages)
            times, usages = measure([quillet(huge)], 3)
            peak = statistics.median(u.ru_maxrss for u in usages[0]) * 1024.0
            pixels = 8000 * 8000
            print()
            print("8000x8000 page: %.0f ms, peak RSS %.1f MiB = %.2f bytes/pixel; less 64 MiB: %.2f bytes/pixel"
                  "   (target <= 4.5 + 64 MiB)" %
                  (median_ms(times[0]), peak / 2**20, peak / pixels, (peak - 64 * 2**20) / pixels))
    finally:
        shutil.rmtree(out, ignore_errors=True)


if __name__ == "__main__":
    main()
