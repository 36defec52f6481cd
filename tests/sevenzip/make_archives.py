"""Makes the archives of the 7-Zip back-end tests, with the real tools (7zz,
GNU tar) and, where the tools cannot make what a test needs, by hand.

    python3 make_archives.py OUTPUT_DIR

Every page is a small lossless picture of one colour (tests/fixtures/pages.py)
whose colour and size say which page it is: page n is page_colour(n), 10 + n
pixels wide and 7 high. The tests know which page each archive must yield.
"""
import os
import shutil
import struct
import subprocess
import sys
import tarfile
import zipfile
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))
import pages  # noqa: E402

OUT = None


def page(directory, name, number):
    """Writes page `number` as `name` (its extension picks the format)."""
    path = os.path.join(directory, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    rows = pages.page_pixels(number, 10 + number, 7, alpha=not name.endswith(".bmp"))
    if name.endswith(".bmp"):
        pages.write_bmp(path, rows)
    elif name.endswith(".jpg"):
        pages.write_jpeg(path, rows)
    else:
        pages.write_png(path, rows)
    return name


def stage(name, entries):
    """A fresh folder holding `entries`: (name, page number) pairs, or names
    ending in '/' for empty folders, or (name, bytes) for other files."""
    directory = os.path.join(OUT, "stage", name)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for entry in entries:
        if isinstance(entry, str):
            os.makedirs(os.path.join(directory, entry), exist_ok=True)
        elif isinstance(entry[1], bytes):
            with open(os.path.join(directory, entry[0]), "wb") as f:
                f.write(entry[1])
        else:
            page(directory, entry[0], entry[1])
    return directory


def run(args, cwd):
    subprocess.run(args, cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def archive_path(name):
    path = os.path.join(OUT, name)
    if os.path.exists(path):
        os.remove(path)
    return path


def sevenzip(name, entries, *switches):
    """An archive made by 7zz from `entries` (7-Zip sorts them by name)."""
    directory = stage(name, entries)
    path = archive_path(name)
    run(["7zz", "a", "-bd", *switches, path, *[e if isinstance(e, str) else e[0] for e in entries]], directory)
    return path


def methods_of(path):
    listing = subprocess.run(["7zz", "l", "-slt", path], check=True, capture_output=True, text=True).stdout
    return {line.split(" = ", 1)[1] for line in listing.splitlines() if line.startswith("Method = ")}


def gnu_tar(name, entries, form):
    directory = stage(name, entries)
    path = archive_path(name)
    run(["tar", "--format=" + form, "-cf", path, *[e if isinstance(e, str) else e[0] for e in entries]],
        directory)
    return path


def by_hand_zip(name, entries):
    """A ZIP written by Python's zipfile, in the order of `entries`, for names
    and orders that the tools will not write. A page's format follows its
    entry's extension."""
    directory = stage(name, [])
    path = archive_path(name)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        for entry_name, content in entries:
            if isinstance(content, bytes):
                z.writestr(entry_name, content)
            else:
                staged_name = "page" + os.path.splitext(entry_name)[1]
                page(directory, staged_name, content)
                z.write(os.path.join(directory, staged_name), entry_name)
    return path


def truncate_inside(path, offset):
    with open(path, "r+b") as f:
        f.truncate(offset)


# ---- CRC-32 of long runs of zeros, without reading them ---------------------

def _gf2_times(matrix, vector):
    total = 0
    i = 0
    while vector:
        if vector & 1:
            total ^= matrix[i]
        vector >>= 1
        i += 1
    return total


def _gf2_square(matrix):
    return [_gf2_times(matrix, matrix[n]) for n in range(32)]


def crc32_combine(crc1, crc2, length2):
    """The CRC-32 of A + B from those of A and B and the length of B."""
    odd = [0xEDB88320] + [1 << n for n in range(31)]
    even = _gf2_square(odd)
    odd = _gf2_square(even)
    while True:
        even = _gf2_square(odd)
        if length2 & 1:
            crc1 = _gf2_times(even, crc1)
        length2 >>= 1
        if not length2:
            break
        odd = _gf2_square(even)
        if length2 & 1:
            crc1 = _gf2_times(odd, crc1)
        length2 >>= 1
        if not length2:
            break
    return crc1 ^ crc2


def zero_entry_zip(name, entry_name, size, declared_size=None):
    """A ZIP64 archive of one deflated entry of `size` zero bytes, a few MB on
    disk: one deflate chunk of 16 MiB of zeros, closed by a full flush so that
    it stands alone, repeated, then an empty final block. With
    `declared_size`, both headers state that size instead: they lie."""
    chunk_size = 16 << 20
    assert size % chunk_size == 0
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    chunk = compressor.compress(bytes(chunk_size)) + compressor.flush(zlib.Z_FULL_FLUSH)
    final = zlib.compressobj(9, zlib.DEFLATED, -15).flush()
    repeats = size // chunk_size
    compressed_size = len(chunk) * repeats + len(final)

    crc = chunk_crc = zlib.crc32(bytes(chunk_size))
    length = chunk_size
    while length < size:  # doubling: the sizes are powers of two times the chunk
        crc = crc32_combine(crc, crc, length)
        length *= 2
    assert length == size and chunk_crc
    stated = size if declared_size is None else declared_size

    encoded = entry_name.encode("ascii")
    zip64 = struct.pack("<HHQQ", 0x0001, 16, stated, compressed_size)
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 45, 0, 8, 0, 0x21, crc, 0xFFFFFFFF, 0xFFFFFFFF,
                        len(encoded), len(zip64)) + encoded + zip64
    path = archive_path(name)
    with open(path, "wb") as f:
        f.write(local)
        for _ in range(repeats):
            f.write(chunk)
        f.write(final)
        directory_offset = f.tell()
        central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 45, 0, 8, 0, 0x21, crc, 0xFFFFFFFF,
                              0xFFFFFFFF, len(encoded), len(zip64), 0, 0, 0, 0, 0) + encoded + zip64
        f.write(central)
        f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), directory_offset, 0))
    with zipfile.ZipFile(path) as z:  # the tools' reading of it must agree
        info = z.infolist()[0]
        assert info.file_size == stated and info.compress_size == compressed_size and info.CRC == crc
    return path


def with_link(name, link_name, real_pages, make_link, tool):
    """An archive holding `real_pages` and, last, a link that
    `make_link(directory)` puts at `link_name` in the staging folder."""
    directory = stage(name, real_pages)
    make_link(directory)
    path = archive_path(name)
    names = [*[n for n, _ in real_pages], link_name]
    run([*tool, path, *names], directory)
    return path


def sparse_zeros(name, entry_name, size, tool):
    """An archive of one entry of `size` zeros, from a sparse file, which
    costs no disk."""
    directory = stage(name, [])
    with open(os.path.join(directory, entry_name), "wb") as f:
        f.truncate(size)
    path = archive_path(name)
    run([*tool, path, entry_name], directory)
    return path


def main():
    global OUT
    OUT = os.path.abspath(sys.argv[1])
    os.makedirs(OUT, exist_ok=True)

    # The cover rule must pick p01 although it is not first in the archive
    # (GNU tar keeps this order; 7-Zip sorts by name).
    shuffled_bmp = [("p03.bmp", 3), ("p01.bmp", 1), ("p02.bmp", 2)]
    shuffled_png = [("p03.png", 3), ("p01.png", 1), ("p02.png", 2)]

    # Every ZIP method of the library. BMP pages compress, so each method is
    # really used (7-Zip stores what does not shrink).
    for method, listed in [("Copy", "Store"), ("Deflate", "Deflate"), ("Deflate64", "Deflate64"),
                           ("BZip2", "BZip2"), ("LZMA", "LZMA:eos"), ("PPMd", "PPMd"), ("XZ", "xz")]:
        path = sevenzip("zip-%s.cbz" % method.lower(), shuffled_bmp, "-tzip", "-mm=" + method)
        assert methods_of(path) == {listed}, (path, methods_of(path))

    path = sevenzip("7z-lzma2-solid.cb7", shuffled_bmp, "-t7z", "-m0=LZMA2", "-ms=on")
    assert methods_of(path) == {"LZMA2:12"}, methods_of(path)
    path = sevenzip("7z-bcj2.cb7", shuffled_bmp, "-t7z", "-mf=BCJ2")
    assert any(m.startswith("BCJ2 ") for m in methods_of(path)), methods_of(path)
    gnu_tar("tar-ustar.cbt", shuffled_png, "ustar")
    gnu_tar("tar-gnu.cbt", shuffled_png, "gnu")

    # Folders, with their own entries in the archive.
    sevenzip("folders.cbz", ["Vol 1/", "Vol 2/", ("Vol 1/Page 002.png", 2), ("Vol 1/Page 001.png", 1),
                             ("Vol 2/Page 001.png", 3)], "-tzip")
    # Names beyond ASCII and beyond the Basic Multilingual Plane.
    unicode_pages = [("\u00dcber \U0001F600/Seite 02.png", 2), ("\u00dcber \U0001F600/Seite 01.png", 1)]
    sevenzip("unicode.cbz", unicode_pages, "-tzip")
    sevenzip("unicode.cb7", unicode_pages, "-t7z")
    gnu_tar("unicode.cbt", unicode_pages, "gnu")
    # A backslash inside a ZIP name (no tool on Linux writes one).
    by_hand_zip("backslash.cbz", [("scan\\p02.png", 2), ("scan\\p01.png", 1)])

    # Digit runs decide, not text order; a non-image entry comes first. Under
    # a .zip name the first image in archive order is the cover instead.
    digits = by_hand_zip("digits.cbz", [("readme.txt", b"not a page\n"), ("p10.png", 10), ("p9.png", 9),
                                        ("p011.png", 11), ("credits.png", 20)])
    shutil.copyfile(digits, os.path.join(OUT, "digits.zip"))

    # The signature decides, never the name.
    shutil.copyfile(os.path.join(OUT, "zip-deflate.cbz"), os.path.join(OUT, "zip-named.cbr"))
    shutil.copyfile(os.path.join(OUT, "7z-lzma2-solid.cb7"), os.path.join(OUT, "7z-named.cbz"))

    # Nothing to show.
    sevenzip("only-folders.cbz", ["a/", "b/c/"], "-tzip")
    sevenzip("no-images.cbz", [("readme.txt", b"no pages here\n"), ("info.xml", b"<comic/>\n")], "-tzip")
    with zipfile.ZipFile(archive_path("empty.cbz"), "w"):
        pass

    # Damaged: each cut inside the data of its cover page, p01.png.
    path = by_hand_zip("truncated.cbz", [("p01.png", 1), ("p02.png", 2)])
    with zipfile.ZipFile(path) as z:
        first = z.infolist()[0]
        data_start = first.header_offset + 30 + len(first.filename)
        cut = data_start + first.compress_size // 2
    truncate_inside(path, cut)
    path = sevenzip("truncated.cb7", [("p01.png", 1), ("p02.png", 2)], "-t7z")
    truncate_inside(path, os.path.getsize(path) // 2)
    path = gnu_tar("truncated.cbt", [("p01.png", 1), ("p02.png", 2)], "ustar")
    truncate_inside(path, 512 + 40)

    # Made on macOS: an AppleDouble twin of every page, four bytes that are
    # no image, under __MACOSX and placed first, as re-zipping puts them. The
    # twins alone would win the naming rule (their scheme is met first).
    apple_double = b"\x00\x05\x16\x07"
    by_hand_zip("macos-twins-first.cbz",
                [("__MACOSX/Comic/._page%02d.jpg" % n, apple_double) for n in (1, 2, 3)] +
                [("Comic/._page%02d.jpg" % n, apple_double) for n in (1, 2, 3)] +
                [("Comic/page%02d.jpg" % n, n) for n in (1, 2, 3)])

    # Pages that do not decode, before one that does: the cover is the first
    # page that decodes, within four tries.
    staged = stage("broken-pages", [("p01.png", 1)])
    with open(os.path.join(staged, "p01.png"), "rb") as f:
        whole_page = f.read()
    cut_page = whole_page[:len(whole_page) // 2]
    by_hand_zip("first-page-cut.cbz", [("p01.png", cut_page), ("p02.png", 2), ("p03.png", 3)])
    by_hand_zip("first-page-not-an-image.cbz", [("p01.png", b"these bytes decode as nothing\n"), ("p02.png", 2)])
    by_hand_zip("three-pages-cut.cbz", [("p01.png", cut_page), ("p02.png", cut_page), ("p03.png", cut_page),
                                        ("p04.png", 4)])
    by_hand_zip("five-pages-cut.cbz", [("p%02d.png" % n, cut_page) for n in range(1, 6)] + [("p06.png", 6)])

    # A JPEG cover cut after 200 bytes, inside its scan: decoders that only
    # warn would make it a grey page. The next page is the cover.
    big_jpeg = os.path.join(staged, "big.jpg")
    pages.write_jpeg(big_jpeg, pages.page_pixels(1, 200, 150, alpha=False))
    with open(big_jpeg, "rb") as f:
        jpeg_cut = f.read()[:200]
    assert b"\xff\xda" in jpeg_cut, "the cut must fall inside the scan"
    by_hand_zip("jpeg-cut-after-200-bytes.cbz", [("p01.jpg", jpeg_cut), ("p02.jpg", 2)])

    # Covers in newer formats, encoded losslessly from page 1 by the formats'
    # own tools, each before page 2 in PNG.
    page(staged, "p01.png", 1)
    for name, command in (("avif-cover.cbz", ["avifenc", "--lossless", "p01.png", "p01.avif"]),
                          ("heif-cover.cbz", ["heif-enc", "--lossless", "-o", "p01.heic", "p01.png"])):
        run(command, staged)
        encoded = os.path.join(staged, command[-1] if command[0] == "avifenc" else command[-2])
        with open(encoded, "rb") as f:
            by_hand_zip(name, [(os.path.basename(encoded), f.read()), ("p02.png", 2)])

    # Encrypted, with the names readable and with the headers encrypted too.
    sevenzip("zip-zipcrypto.cbz", shuffled_bmp, "-tzip", "-psecret", "-mem=ZipCrypto")
    sevenzip("zip-aes.cbz", shuffled_bmp, "-tzip", "-psecret", "-mem=AES256")
    sevenzip("7z-encrypted.cb7", shuffled_bmp, "-t7z", "-psecret")
    sevenzip("7z-encrypted-headers.cb7", shuffled_bmp, "-t7z", "-psecret", "-mhe=on")

    # Not an archive at all: a JPEG page under an archive's name.
    pages.write_jpeg(archive_path("jpeg-renamed.cbz"), pages.page_pixels(1, 11, 7))

    # JPEG pages: decoders differ a little in their colour conversion.
    sevenzip("jpeg-pages.cbz", [("p02.jpg", 2), ("p01.jpg", 1)], "-tzip")

    # A cover that inflates to 4 GiB of zeros, from about 4 MB; one of
    # 600 MiB, past the bound, from 130 KB of 7z (4 GiB would take 7zz 20 s
    # to pack); a TAR whose sparse cover declares 4 GiB.
    zero_entry_zip("inflates-4gib.cbz", "p01.png", 4 << 30)
    sparse_zeros("inflates-600mib.cb7", "p01.png", 600 << 20, ["7zz", "a", "-bd", "-t7z", "-mx=1"])
    sparse_zeros("sparse-4gib.cbt", "p01.png", 4 << 30, ["tar", "--format=gnu", "--sparse", "-cf"])
    # A solid block whose cover comes after two entries of 300 MiB of zeros
    # each: reaching the cover decodes 600 MiB, though no entry alone
    # declares more than a cover may.
    directory = stage("solid-cover-behind-600mib.cb7", [("z.png", 1)])
    for name in ("a01.bin", "a02.bin"):
        with open(os.path.join(directory, name), "wb") as f:
            f.truncate(300 << 20)
    run(["7zz", "a", "-bd", "-t7z", "-ms=64g", "-m0=lzma", "-mx1", archive_path("solid-cover-behind-600mib.cb7"),
         "a01.bin", "a02.bin", "z.png"], directory)
    # Headers that say 4 KiB for a cover that inflates to 64 MiB; and a cover
    # that is honestly 64 MiB of zeros, for the bound of the written bytes.
    zero_entry_zip("declares-4kib-inflates-64mib.cbz", "p01.png", 64 << 20, declared_size=4096)
    zero_entry_zip("zeros-64mib.cbz", "p01.png", 64 << 20)

    # Links named like the first page, each beside the real page 5 (and, for
    # the hard link, page 6, to which it links). A link is never a page: the
    # cover is page 5 in every one.
    outside = "../../victim/p01.png"
    with_link("symlink-named-p01.cbt", "p01.png", [("p05.png", 5)],
              lambda d: os.symlink(outside, os.path.join(d, "p01.png")), ["tar", "--format=gnu", "-cf"])
    # tar stores p06.png first, so p01.png goes in as a hard link to it.
    with_link("hardlink-named-p01.cbt", "p01.png", [("p06.png", 6), ("p05.png", 5)],
              lambda d: os.link(os.path.join(d, "p06.png"), os.path.join(d, "p01.png")), ["tar", "--format=gnu", "-cf"])
    with_link("symlink-named-p01.cbz", "p01.png", [("p05.png", 5)],
              lambda d: os.symlink(outside, os.path.join(d, "p01.png")), ["zip", "-q", "-y"])
    with_link("symlink-named-p01.cb7", "p01.png", [("p05.png", 5)],
              lambda d: os.symlink(outside, os.path.join(d, "p01.png")), ["7zz", "a", "-bd", "-t7z", "-snl"])
    with_link("symlink-to-page-p01.cbz", "p01.png", [("p05.png", 5)],
              lambda d: os.symlink("p05.png", os.path.join(d, "p01.png")), ["7zz", "a", "-bd", "-tzip", "-snl"])

    # One archive per thread of the concurrency test: thread t gets page
    # 30 + t, in the three formats in turn.
    for t in range(8):
        entries = [("p1.png", 30 + t), ("p2.png", 40 + t)]
        if t % 3 == 0:
            sevenzip("thread-%d.cbz" % t, entries, "-tzip")
        elif t % 3 == 1:
            sevenzip("thread-%d.cb7" % t, entries, "-t7z")
        else:
            gnu_tar("thread-%d.cbt" % t, entries, "gnu")

    # Loose pages, for the scripted stand-in library to hand out as items.
    loose = os.path.join(OUT, "pages")
    os.makedirs(loose, exist_ok=True)
    for number in (1, 2, 3):
        page(loose, "page-%d.png" % number, number)
    with open(os.path.join(loose, "not-an-image.png"), "wb") as f:
        f.write(b"these bytes decode as nothing\n" * 8)

    # Files that the scripted stand-in "opens": only their names matter.
    scripted = os.path.join(OUT, "scripted")
    os.makedirs(scripted, exist_ok=True)
    for name in ("any.cbz", "any.zip", "p01.cbz", "p01.png"):
        with open(os.path.join(scripted, name), "wb") as f:
            f.write(b"PK\x03\x04 read by nobody\n")

    shutil.rmtree(os.path.join(OUT, "stage"))


if __name__ == "__main__":
    main()
