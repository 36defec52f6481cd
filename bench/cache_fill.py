#!/usr/bin/env python3
"""How fast quillet-thumbnail --cache fills the thumbnail cache.

Makes a library of generated comics (CBZ, ten pages of 1200 x 1800 pixels
each, drawn here), runs --cache over it into an empty cache, then once more,
and prints comics per second for both runs:

    python3 bench/cache_fill.py [--program build/linux/quillet-thumbnail]
                                [--comics 240] [--jobs N] [--size large]
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib

WIDTH, HEIGHT, PAGES = 1200, 1800, 10


def page_png(seed):
    """An RGB page with diagonal colour bands, so that decoding and scaling
    have real work to do."""
    ramp = bytes((i * 7 + seed * 31) % 256 for i in range(3 * (WIDTH + 256)))
    raw = b"".join(b"\x00" + ramp[3 * (y % 256):3 * (y % 256) + 3 * WIDTH] for y in range(HEIGHT))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def make_library(folder, count):
    drawn = [page_png(seed) for seed in range(4)]
    for n in range(count):
        path = os.path.join(folder, "series %02d" % (n // 20), "issue %03d.cbz" % n)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as archive:
            for page in range(PAGES, 0, -1):  # stored backwards: the cover is found by name
                archive.writestr("page%02d.png" % page, drawn[(n + page) % len(drawn)])


def fill(program, library, cache_home, size, jobs):
    command = [program, "--cache", "--size", size, library]
    if jobs:
        command[2:2] = ["-j", str(jobs)]
    env = dict(os.environ, XDG_CACHE_HOME=cache_home)
    start = time.monotonic()
    result = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    seconds = time.monotonic() - start
    if result.returncode != 0:
        sys.exit("--cache failed (%d):\n%s%s" % (result.returncode, result.stdout, result.stderr))
    summary = result.stdout.strip().splitlines()[-1]
    return seconds, summary


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", default=os.path.join(os.path.dirname(__file__), "..", "build", "linux",
                                                          "quillet-thumbnail"))
    parser.add_argument("--comics", type=int, default=240)
    parser.add_argument("--jobs", type=int, default=0, help="threads (default: the program's, one per core)")
    parser.add_argument("--size", default="large")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="quillet-cache-bench-")
    try:
        library = os.path.join(work, "library")
        started = time.monotonic()
        make_library(library, args.comics)
        print("library: %d comics of %d pages of %dx%d, made in %.1f s" %
              (args.comics, PAGES, WIDTH, HEIGHT, time.monotonic() - started))
        cache_home = os.path.join(work, "cache")
        for label in ("empty cache", "second run"):
            seconds, summary = fill(os.path.abspath(args.program), library, cache_home, args.size, args.jobs)
            rate = re.search(r"\(([0-9.]+) comics/s\)", summary)
            print("%-12s %8.1f comics/s  (wall %.2f s; %s)" %
                  (label + ":", float(rate.group(1)) if rate else args.comics / seconds, seconds, summary))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
