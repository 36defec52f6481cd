#!/usr/bin/env python3
"""Makes the archives of the request mix: every archive kind, valid and
broken, with what the module must give for each.

    make_request_mix.py OUT_FOLDER

writes the archives into OUT_FOLDER and a list, OUT_FOLDER/expected.txt, of
lines "thumbnail<TAB>name" or "none<TAB>name". Valid archives are made with
the real tools (7zz, rar, tar) and Python's zipfile; broken ones are cut
from them or written from bytes.
"""
import os
import shutil
import subprocess
import sys
import tarfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "fixtures"))
sys.path.insert(0, os.path.join(HERE, "..", "rar"))
import pages  # noqa: E402
import rar4_writer  # noqa: E402

# A RAR 5 file whose header CRC is wrong, on which the unrar library itself
# crashes: it must never reach the library.
CRASHING_RAR = bytes.fromhex(
    "526172211a070100f3e1efeb0b010507000602010060c0000250747effff461ee2c38080800100eccd2502030be4"
    "0004000c298302087b77e5800001077030312e706e67f38080800100eccde40b250203000400030be48950fbfb36")


def run(args, cwd):
    subprocess.run(args, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)


def main():
    out = os.path.abspath(sys.argv[1])
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    stage = os.path.join(out, "stage")
    os.makedirs(stage)
    # Three pages in three formats; a damaged PNG as the only page of one
    # archive (the decoder fails at its end).
    pages.write_png(os.path.join(stage, "p01.png"), pages.page_pixels(1, 300, 420))
    pages.write_jpeg(os.path.join(stage, "p02.jpg"), pages.page_pixels(2, 320, 480, alpha=False))
    pages.write_bmp(os.path.join(stage, "p03.bmp"), pages.page_pixels(3, 90, 130, alpha=False))
    with open(os.path.join(stage, "p01.png"), "rb") as f:
        png = f.read()
    damaged = os.path.join(out, "damaged-stage")
    os.makedirs(damaged)
    with open(os.path.join(damaged, "p01.png"), "wb") as f:
        f.write(png[: len(png) // 2])
    names = ["p01.png", "p02.jpg", "p03.bmp"]
    expected = []

    def valid(name):
        expected.append(("thumbnail", name))

    def broken(name):
        expected.append(("none", name))

    with zipfile.ZipFile(os.path.join(out, "valid.cbz"), "w", zipfile.ZIP_DEFLATED) as z:
        for n in names:
            z.write(os.path.join(stage, n), n)
    valid("valid.cbz")
    run(["7zz", "a", "-bd", "-mx=5", os.path.join(out, "valid.cb7")] + names, stage)
    valid("valid.cb7")
    with tarfile.open(os.path.join(out, "valid.cbt"), "w", format=tarfile.USTAR_FORMAT) as t:
        for n in names:
            t.add(os.path.join(stage, n), n)
    valid("valid.cbt")
    run(["rar", "a", "-idq", "-ma5", os.path.join(out, "valid.cbr")] + names, stage)
    valid("valid.cbr")
    run(["rar", "a", "-idq", "-ma5", "-s", os.path.join(out, "valid-solid.cbr")] + names, stage)
    valid("valid-solid.cbr")
    # Today's rar writes no RAR 4: our own writer stores the pages.
    blocks = [rar4_writer.main_header()]
    for n in names:
        with open(os.path.join(stage, n), "rb") as f:
            blocks.append(rar4_writer.entry(n, f.read()))
    blocks.append(rar4_writer.end_header())
    rar4_writer.write(os.path.join(out, "valid-rar4.cbr"), blocks)
    valid("valid-rar4.cbr")

    # Every valid archive cut in half, and with its middle overwritten.
    for name in [n for kind, n in list(expected) if kind == "thumbnail"]:
        with open(os.path.join(out, name), "rb") as f:
            data = f.read()
        stem, ext = os.path.splitext(name)
        with open(os.path.join(out, stem + "-cut" + ext), "wb") as f:
            f.write(data[: len(data) // 2])
        # A cut archive may still hold a readable first page; only a crash,
        # a hang or a leak is wrong for it, so it is checked for consistency.
        expected.append(("any", stem + "-cut" + ext))
        scrambled = bytearray(data)
        for i in range(len(data) // 4, len(data) * 3 // 4, 7):
            scrambled[i] ^= 0x5A
        with open(os.path.join(out, stem + "-scrambled" + ext), "wb") as f:
            f.write(scrambled)
        expected.append(("any", stem + "-scrambled" + ext))

    with zipfile.ZipFile(os.path.join(out, "damaged-page.cbz"), "w") as z:
        z.write(os.path.join(damaged, "p01.png"), "p01.png")
    broken("damaged-page.cbz")
    # Pages that end inside their headers: the decoder notices only when the
    # data is closed, and reports it through an error of its own.
    with open(os.path.join(stage, "p02.jpg"), "rb") as f:
        jpeg = f.read()
    with zipfile.ZipFile(os.path.join(out, "page-ends-in-header.cbz"), "w") as z:
        z.writestr("p01.png", png[:40])
        z.writestr("p02.jpg", jpeg[:120])
    broken("page-ends-in-header.cbz")
    with zipfile.ZipFile(os.path.join(out, "no-pages.cbz"), "w") as z:
        z.writestr("readme.txt", "no pages here")
    broken("no-pages.cbz")
    with open(os.path.join(out, "crashing-header.cbr"), "wb") as f:
        f.write(CRASHING_RAR)
    broken("crashing-header.cbr")
    with open(os.path.join(out, "signature-only.cbz"), "wb") as f:
        f.write(b"PK\x03\x04" + bytes(range(256)) * 4)
    broken("signature-only.cbz")
    open(os.path.join(out, "empty.cb7"), "wb").close()
    broken("empty.cb7")

    shutil.rmtree(stage)
    shutil.rmtree(damaged)
    with open(os.path.join(out, "expected.txt"), "w") as f:
        for kind, name in expected:
            f.write(f"{kind}\t{name}\n")


if __name__ == "__main__":
    main()
