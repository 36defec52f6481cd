#!/usr/bin/env python3
"""Makes the seed corpora of the fuzz targets, one folder each:

    make_seeds.py OUT_FOLDER

OUT_FOLDER/module: small comics of every kind (ZIP, 7z, TAR, RAR 5, solid
RAR 5, RAR 4) made with the real tools and our own writers; OUT_FOLDER/image:
pages in the formats the decoders take; OUT_FOLDER/cover_choice: name lists.
Nothing here is committed: the seeds are made anew on every build.
"""
import io
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "fixtures"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "rar"))
import pages  # noqa: E402
import rar4_writer  # noqa: E402


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def page_files(folder):
    """Three small pages, and their bytes by name."""
    pages.write_png(os.path.join(folder, "p01.png"), pages.page_pixels(1, 24, 36))
    pages.write_jpeg(os.path.join(folder, "p02.jpg"), pages.page_pixels(2, 16, 24, alpha=False))
    pages.write_bmp(os.path.join(folder, "p03.bmp"), pages.page_pixels(3, 9, 13, alpha=False))
    names = ["p01.png", "p02.jpg", "p03.bmp"]
    contents = {}
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            contents[name] = f.read()
    return names, contents


def run(args, cwd):
    subprocess.run(args, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)


def main():
    out = os.path.abspath(sys.argv[1])
    shutil.rmtree(out, ignore_errors=True)
    module, image, names_folder = (os.path.join(out, n) for n in ("module", "image", "cover_choice"))
    for folder in (module, image, names_folder):
        os.makedirs(folder)
    with tempfile.TemporaryDirectory() as stage:
        names, contents = page_files(stage)
        for name, data in contents.items():
            write(os.path.join(image, name), data)
        # A progressive page, each AC coefficient in a scan of its own: 64
        # scans, for the scan walk and the progressive decode.
        write(os.path.join(image, "progressive.jpg"), pages.progressive_jpeg(40, 24, 0))

        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
            for name in names:
                z.writestr(name, contents[name])
        write(os.path.join(module, "deflated.cbz"), buffer.getvalue())
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as z:
            for name in names:
                z.writestr("comic/" + name, contents[name])
        write(os.path.join(module, "stored.cbz"), buffer.getvalue())
        buffer = io.BytesIO()
        with tarfile.open(fileobj=buffer, mode="w", format=tarfile.USTAR_FORMAT) as t:
            for name in names:
                t.add(os.path.join(stage, name), name)
        write(os.path.join(module, "pages.cbt"), buffer.getvalue())
        # The real tools, where the machine has them.
        if shutil.which("7zz"):
            run(["7zz", "a", "-bd", "-mx=1", os.path.join(module, "pages.cb7")] + names, stage)
        if shutil.which("rar"):
            run(["rar", "a", "-idq", "-ma5", os.path.join(module, "pages.cbr")] + names, stage)
            run(["rar", "a", "-idq", "-ma5", "-s", os.path.join(module, "solid.cbr")] + names, stage)
        blocks = [rar4_writer.main_header()]
        blocks += [rar4_writer.entry(name, contents[name]) for name in names]
        blocks.append(rar4_writer.end_header())
        rar4_writer.write(os.path.join(module, "rar4.cbr"), blocks)
        # A RAR 5 file with a wrong header CRC, on which the unrar library
        # itself crashes: it must stay away from the library.
        write(os.path.join(module, "crashing-header.cbr"), bytes.fromhex(
            "526172211a070100f3e1efeb0b010507000602010060c0000250747effff461ee2c38080800100eccd2502030be4"
            "0004000c298302087b77e5800001077030312e706e67f38080800100eccde40b250203000400030be48950fbfb36"))

    lists = {
        "numbered.txt": ["page 10.jpg", "page 2.jpg", "page 1.jpg", "cover.jpg"],
        "schemes.txt": ["a/b01.png", "A/B02.png", "x1.png", "x0.png", "b00.png"],
        "digits-first.txt": ["001.jpg", "0.jpg", "10.jpg", "credits.jpg"],
        "macos.txt": ["__MACOSX/c/._p01.jpg", "c/p01.jpg", "c/p02.jpg", "._p00.jpg"],
        "letters.txt": ["\u00e9t\u00e9 1.png", "\u00c9T\u00c9 0.png", "stra\u00dfe 3.png", "STRASSE 1.png"],
    }
    for name, names in lists.items():
        with open(os.path.join(names_folder, name), "w", encoding="utf-8") as f:
            f.write("\n".join(names))


if __name__ == "__main__":
    main()
