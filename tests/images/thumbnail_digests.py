#!/usr/bin/env python3
"""Whole-process thumbnails, byte for byte: quillet-thumbnail --dump of a
stored CBZ holding one page, for pages in JPEG (baseline 4:2:0 of odd size,
progressive 4:4:4, greyscale, CMYK), PNG with alpha, GIF and WebP with alpha,
compared with the SHA-256 of the dump recorded below. Any change in what
the module returns, in decoding, premultiplying or scaling, changes a digest.

    python3 thumbnail_digests.py --tool PROGRAM --work DIR [--record]

The picture is drawn here; ImageMagick encodes it (the digests hold for the
ImageMagick, libjpeg-turbo, libwebp and gdk-pixbuf of Debian 12). --record
prints the table for the current build instead of checking it.
"""
import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import zipfile
import zlib

# Odd sides: the last JPEG blocks and chroma samples are partial.
WIDTH, HEIGHT = 601, 899


def picture(alpha):
    """Rows of RGB(A) bytes: smooth ramps, a fine checkerboard band (the
    Lanczos lobes show in it) and, with alpha, a transparent disc, a ramp of
    alpha and half-transparent stripes."""
    rows = []
    cx, cy, radius = WIDTH * 0.6, HEIGHT * 0.35, min(WIDTH, HEIGHT) * 0.2
    for y in range(HEIGHT):
        row = bytearray()
        for x in range(WIDTH):
            r = x * 255 // (WIDTH - 1)
            g = y * 255 // (HEIGHT - 1)
            b = (x ^ y) & 0xFF
            if HEIGHT // 2 <= y < HEIGHT // 2 + 60 and ((x // 2 + y // 2) & 1):
                r, g, b = 255 - r, 255 - g, 20
            row += bytes((r, g, b))
            if alpha:
                if (x - cx) ** 2 + (y - cy) ** 2 < radius ** 2:
                    a = 0
                elif y > HEIGHT * 3 // 4:
                    a = x * 255 // (WIDTH - 1)
                elif (y // 7) % 3 == 0:
                    a = 128
                else:
                    a = 255
                row.append(a)
        rows.append(bytes(row))
    return rows


def write_png(path, rows, alpha):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + row for row in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" +
                chunk(b"IHDR", struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 6 if alpha else 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def imagemagick():
    # The versioned name first: a plain `convert` earlier on PATH may be
    # something else.
    for name in ("convert-im6.q16", "magick", "convert"):
        if shutil.which(name):
            return name
    sys.exit("ImageMagick is missing (scripts/setup.sh installs it)")


# Page name, source (opaque or alpha), ImageMagick options, box.
PAGES = [
    ("baseline-420.jpg", "opaque", ["-quality", "88", "-sampling-factor", "2x2"], "256"),
    ("baseline-420-enlarged.jpg", "opaque", ["-quality", "88", "-sampling-factor", "2x2"], "1000"),
    ("progressive-444.jpg", "opaque", ["-quality", "90", "-sampling-factor", "1x1", "-interlace", "Plane"], "256"),
    ("restart-422.jpg", "opaque", ["-quality", "75", "-sampling-factor", "2x1",
                                   "-define", "jpeg:restart-interval=3"], "256"),
    ("grey.jpg", "opaque", ["-colorspace", "Gray", "-quality", "85"], "256"),
    ("cmyk.jpg", "opaque", ["-colorspace", "CMYK", "-quality", "85"], "256"),
    ("alpha.png", "alpha", None, "256"),
    ("opaque.gif", "opaque", ["+dither", "-colors", "64"], "256"),
    ("alpha.webp", "alpha", ["-quality", "80"], "256"),
]

DIGESTS = {
    "baseline-420.jpg": "5c61626b718d27e9f1c9da78a89f31ca990e956d6d932ad314f5a8c3380c9bfa",
    "baseline-420-enlarged.jpg": "312ac394af03ba17dba02be800f49d0d1854efd7831255c81738c8073db25e68",
    "progressive-444.jpg": "8743e561da6569aac5f53a3cb375f8955347c4a5caf6cdcd94d38ce897efc553",
    "restart-422.jpg": "0766650245721cc976952d62cd1debfd5093e809cf13dffd6aa65a8b95333723",
    "grey.jpg": "6b62628b3f8423e2f10eb0d122b7c302cff545e7a0afeb06c067d0a53162bf0e",
    "cmyk.jpg": "c151bf9008537c25f6a652474765609a81fa58dbaf7a272daf34a273539305fa",
    "alpha.png": "b908fadddf92d98dd6542eb1e668a27eda2b45ebf84197052421f18b7156ce20",
    "opaque.gif": "eaade837661aba8ca58a0c2a496228369c1759090997ec17733b06e7311bafca",
    "alpha.webp": "226dc3c9f3696f0a1e6b49070d5b7b93e802c328a6d8b33bfb60a0f2496e268a",
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--record", action="store_true")
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    sources = {}
    for kind, alpha in (("opaque", False), ("alpha", True)):
        sources[kind] = os.path.join(args.work, "source-%s.png" % kind)
        write_png(sources[kind], picture(alpha), alpha)

    failures = []
    recorded = []
    for name, source, options, box in PAGES:
        page = os.path.join(args.work, name)
        if options is None:
            shutil.copyfile(sources[source], page)
        else:
            subprocess.run([imagemagick(), sources[source]] + options + [page], check=True)
        archive = os.path.join(args.work, name + ".cbz")
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED) as z:
            z.write(page, "01-" + name)
        dump = os.path.join(args.work, name + ".pam")
        result = subprocess.run([args.tool, "--dump", "-s", box, archive, dump],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            failures.append("%s: exit code %d %s" % (name, result.returncode, result.stdout.strip()))
            continue
        with open(dump, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        recorded.append('    "%s": "%s",' % (name, digest))
        if not args.record and DIGESTS.get(name) != digest:
            failures.append("%s (box %s): dump digest %s, expected %s" % (name, box, digest, DIGESTS.get(name)))

    if args.record:
        print("\n".join(recorded))
        return 1 if failures else 0
    for failure in failures:
        print("FAIL " + failure)
    if not failures:
        print("every dump matches its recorded digest")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
