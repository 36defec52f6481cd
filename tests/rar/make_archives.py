"""Makes the RAR archives of the RAR back-end tests with the real `rar`.

    python3 make_archives.py OUTDIR [--require FILE]...

Every page is an image of one colour that tells its page number (see
tests/fixtures/pages.py), so a test can tell from the cover bitmap which entry
was extracted. Each archive is named after what it shows. --require names
files the tests cannot run without (the Windows unrar library), so that a
missing one fails here with a clear message rather than in every test.
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))
import pages  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rar4_writer as rar4  # noqa: E402

WIDTH, HEIGHT = 12, 16
# The page of the file outside the archive that a link entry points at.
OUTSIDE_PAGE = 9

# Entry names of the normal and solid archives, in archive order, with the page
# each one holds. The cover rule picks Seite 1; the first image is Seite 3.
NON_ASCII_FOLDER = "Bände 📖"
NORMAL_ENTRIES = [
    (NON_ASCII_FOLDER + "/Liesmich.txt", None),
    (NON_ASCII_FOLDER + "/Seite 3.png", 3),
    (NON_ASCII_FOLDER + "/Seite 1.png", 1),
    (NON_ASCII_FOLDER + "/Seite 2.bmp", 2),
]


# 92 bytes whose headers crash the unrar library of Debian 12.
CRASHING_FILE = (
    "526172211a070100f3e1efeb0b010507000602010060c0000250747effff461ee2c38080800100eccd2502030be40004000c29"
    "8302087b77e5800001077030312e706e67f38080800100eccde40b250203000400030be48950fbfb36")


def fail(message):
    sys.exit("make_archives.py: " + message)


def write_page(path, number, large=False):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    if path.endswith(".bmp"):
        # Uncompressed pages of a few kilobytes make several volumes.
        size = (40, 60) if large else (WIDTH, HEIGHT)
        pages.write_bmp(path, pages.page_pixels(number, *size, alpha=False))
    else:
        pages.write_png(path, pages.page_pixels(number, WIDTH, HEIGHT))


def write_text(path, text):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def rar(archive, names, cwd, *options):
    """Adds names to the archive in one run of rar. rar puts the entries of one
    run in its own order, so callers that need an order add one name a run."""
    command = ["rar", "a", "-idq", "-y", *options, archive, *names]
    result = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        fail("%s failed (%d): %s" % (" ".join(command), result.returncode, result.stdout.decode(errors="replace")))


def rar_in_order(archive, names, cwd, *options):
    for name in names:
        rar(archive, [name], cwd, *options)


def stage(root, entries):
    """Writes (name, page or None, mode or None) entries below root."""
    for entry in entries:
        name, page = entry[0], entry[1]
        mode = entry[2] if len(entry) > 2 else None
        path = os.path.join(root, name)
        if name.endswith("/"):
            os.makedirs(path, exist_ok=True)
        elif page is None:
            write_text(path, "not a page\n")
        else:
            write_page(path, page)
        if mode is not None:
            os.chmod(path, mode)


def make(out, work):
    os.umask(0o022)

    def fresh(name):
        d = os.path.join(work, name)
        os.makedirs(d)
        return d

    def target(name):
        path = os.path.join(out, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        return path

    # RAR5, one entry after the other, and the same data solid. A solid
    # archive's names are sorted unless told not to; they keep this order.
    src = fresh("normal")
    stage(src, NORMAL_ENTRIES)
    names = [name for name, _ in NORMAL_ENTRIES]
    rar_in_order(target("normal.cbr"), names, src, "-ma5")
    rar(target("solid.cbr"), names, src, "-ma5", "-s", "-ds")
    # The same archive under other names: a plain .rar, a RAR that calls
    # itself .cbz, and a path that is not ASCII.
    shutil.copyfile(target("normal.cbr"), target("normal.rar"))
    shutil.copyfile(target("normal.cbr"), target("rar-named.cbz"))
    shutil.copyfile(target("normal.cbr"), target("Überblick 📖/normal.cbr"))

    # A directory named like an image, before the pages and holding nothing.
    # Its mode (0755) lacks bit 0x10, so only the directory flag tells.
    src = fresh("directory")
    stage(src, [("00.png/", None), ("01.png", 1), ("02.png", 2)])
    rar_in_order(target("directory-named-like-image.cbr"), ["00.png", "01.png", "02.png"], src)

    # No page at all: a directory named like an image and a text.
    src = fresh("no-pages")
    stage(src, [("folder.jpg/", None), ("readme.txt", None)])
    rar_in_order(target("no-pages.cbr"), ["folder.jpg", "readme.txt"], src)

    # The cover stored with mode 664, whose group-write bit is 0x10.
    src = fresh("mode-664")
    stage(src, [("p1.png", 1, 0o664), ("p2.png", 2, 0o644)])
    rar_in_order(target("mode-664.cbr"), ["p1.png", "p2.png"], src)

    # A cover stored with mode 777: the extracted copy keeps ours (600).
    src = fresh("mode-777")
    stage(src, [("p1.png", 1, 0o777), ("p2.png", 2, 0o644)])
    rar_in_order(target("mode-777.cbr"), ["p1.png", "p2.png"], src)

    # A read-only cover: the extracted copy is read-only too.
    src = fresh("read-only")
    stage(src, [("p1.png", 1, 0o444), ("p2.png", 2, 0o644)])
    rar_in_order(target("read-only-page.cbr"), ["p1.png", "p2.png"], src)

    # Encrypted data (names readable) and encrypted headers.
    src = fresh("encrypted")
    stage(src, [("p1.png", 1), ("p2.png", 2)])
    rar_in_order(target("encrypted-data.cbr"), ["p1.png", "p2.png"], src, "-psecret")
    rar(target("encrypted-headers.cbr"), ["p1.png", "p2.png"], src, "-hpsecret")

    # Volumes of 4000 bytes holding three stored pages of 7 KB each: the
    # cover spans the first two volumes, the last page the last three.
    src = fresh("volumes")
    for n in (1, 2, 3):
        write_page(os.path.join(src, "p%d.bmp" % n), n, large=True)
    volumes = os.path.join(work, "volumes-made")
    os.makedirs(volumes)
    rar(os.path.join(volumes, "book.rar"), ["p1.bmp", "p2.bmp", "p3.bmp"], src, "-m0", "-v4000b")
    parts = sorted(os.listdir(volumes))
    if len(parts) < 4 or parts[0] != "book.part1.rar":
        fail("unexpected volumes: %s" % parts)
    for folder, kept in (("volumes-complete", parts), ("volumes-first-only", parts[:1]),
                         ("volumes-middle-missing", parts[:2] + parts[3:])):
        for part in kept:
            shutil.copyfile(os.path.join(volumes, part), target(os.path.join(folder, part)))

    # Volumes of 60 KB whose second is replaced by the 92 bytes that crash
    # the library: only the first volume, which we have checked, is read.
    src = fresh("volumes-damaged")
    write_page(os.path.join(src, "p1.bmp"), 1, large=True)
    with open(os.path.join(src, "z-filler.bin"), "wb") as f:
        f.write(bytes(range(256)) * 400)
    volumes = os.path.join(work, "volumes-damaged-made")
    os.makedirs(volumes)
    rar(os.path.join(volumes, "book.rar"), ["p1.bmp", "z-filler.bin"], src, "-m0", "-v60k")
    shutil.copyfile(os.path.join(volumes, "book.part1.rar"), target("volumes-damaged-second/book.part1.rar"))
    with open(target("volumes-damaged-second/book.part2.rar"), "wb") as f:
        f.write(bytes.fromhex(CRASHING_FILE))

    # Stored pages, so that their bytes can be found and spoiled.
    src = fresh("stored")
    stage(src, [("p1.png", 1), ("p2.png", 2)])
    stored = os.path.join(work, "stored.rar")
    rar_in_order(stored, ["p1.png", "p2.png"], src, "-m0")
    with open(stored, "rb") as f:
        data = bytearray(f.read())
    with open(os.path.join(src, "p1.png"), "rb") as f:
        cover = f.read()

    # The cover's data spoiled in its middle: the headers are intact, the
    # checksum of the extracted data is not.
    at = data.find(cover)
    if at < 0 or data.find(cover, at + 1) >= 0:
        fail("the stored cover is not found once in its archive")
    damaged = bytearray(data)
    damaged[at + len(cover) // 2] ^= 0xFF
    with open(target("damaged-data.cbr"), "wb") as f:
        f.write(damaged)

    # The second entry's header spoiled: its name no longer matches its checksum.
    at = data.find(b"p2.png")
    if at < 0:
        fail("the second entry's name is not found in its archive")
    damaged = bytearray(data)
    damaged[at] ^= 0x01
    with open(target("damaged-header.cbr"), "wb") as f:
        f.write(damaged)

    # Cut off in the middle of the cover's data.
    with open(target("truncated.cbr"), "wb") as f:
        f.write(data[: data.find(cover) + len(cover) // 2])

    # Made on macOS: an AppleDouble twin of every page, four bytes that are
    # no image, under __MACOSX and added first.
    src = fresh("macos")
    stage(src, [("Comic/page%02d.png" % n, n) for n in (1, 2, 3)])
    twins = ["__MACOSX/Comic/._page%02d.png" % n for n in (1, 2, 3)]
    for twin in twins:
        os.makedirs(os.path.dirname(os.path.join(src, twin)), exist_ok=True)
        with open(os.path.join(src, twin), "wb") as f:
            f.write(b"\x00\x05\x16\x07")
    rar_in_order(target("macos-twins-first.cbr"), twins + ["Comic/page%02d.png" % n for n in (1, 2, 3)], src)

    # Pages cut short before one that is whole: the first page that decodes
    # is the cover, within four tries; solid too, where each try unpacks the
    # pages before its own.
    src = fresh("cut-pages")
    cut_page = cover[: len(cover) // 2]
    cut_names = ["p%02d.png" % n for n in range(1, 7)]
    for name in cut_names[:5]:
        with open(os.path.join(src, name), "wb") as f:
            f.write(cut_page)
    write_page(os.path.join(src, "p06.png"), 6)
    write_page(os.path.join(src, "page-2.png"), 2)
    write_page(os.path.join(src, "page-3.png"), 3)
    with open(os.path.join(src, "page-1.png"), "wb") as f:
        f.write(cut_page)
    rar_in_order(target("first-page-cut.cbr"), ["page-1.png", "page-2.png", "page-3.png"], src)
    rar(target("first-page-cut-solid.cbr"), ["page-1.png", "page-2.png", "page-3.png"], src, "-s", "-ds")
    rar_in_order(target("five-pages-cut.cbr"), cut_names, src)

    # Nothing but the RAR5 signature.
    with open(target("signature-only.cbr"), "wb") as f:
        f.write(b"Rar!\x1a\x07\x01\x00")

    make_links(fresh, target)
    make_size_bombs(fresh, target)
    make_block_walks(fresh, target, work)


def entry_type(archive, name):
    """What `rar lt` says the entry is: "File", "Hard link" and so on."""
    listing = subprocess.run(["rar", "lt", archive, name], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    for line in listing.stdout.decode(errors="replace").splitlines():
        if line.strip().startswith("Type:"):
            return line.split(":", 1)[1].strip()
    return None


def make_links(fresh, target):
    """Covers that are links: a/p1.png (or p1.png) stands for a file outside
    the archive, which shows page OUTSIDE_PAGE; p2.png is a real page. The
    tests put that outside file where the links point."""
    # What the tests put where the links point.
    write_page(target("links/secret.png"), OUTSIDE_PAGE)

    # A symbolic link to ../victim/secret.png, in both formats.
    src = fresh("symlink")
    os.makedirs(os.path.join(src, "a"))
    os.symlink("../victim/secret.png", os.path.join(src, "a", "p1.png"))
    write_page(os.path.join(src, "a", "p2.png"), 2)
    rar_in_order(target("links/symlink-cover.cbr"), ["a/p1.png", "a/p2.png"], src, "-ol")
    with open(os.path.join(src, "a", "p2.png"), "rb") as f:
        page2 = f.read()
    rar4.write(target("links/symlink-cover-rar4.cbr"), [
        rar4.main_header(),
        rar4.entry("a/p1.png", b"../victim/secret.png", attr=0o120777),
        rar4.entry("a/p2.png", page2),
        rar4.end_header()])

    # A hard link and a file reference to secret.png, whose own entry is
    # then deleted: what they stand for is looked up in the current folder.
    for name, option, kind in (("hardlink-cover.cbr", "-oh", "Hard link"),
                               ("reference-cover.cbr", "-oi:1", "File reference")):
        src = fresh(name)
        write_page(os.path.join(src, "secret.png"), OUTSIDE_PAGE)
        if option == "-oh":
            os.link(os.path.join(src, "secret.png"), os.path.join(src, "p1.png"))
        else:
            shutil.copyfile(os.path.join(src, "secret.png"), os.path.join(src, "p1.png"))
        write_page(os.path.join(src, "p2.png"), 2)
        archive = target("links/" + name)
        rar(archive, ["secret.png", "p1.png"], src, option)
        if entry_type(archive, "p1.png") != kind:
            fail("%s: p1.png is no %s" % (name, kind))
        subprocess.run(["rar", "d", "-idq", "-y", archive, "secret.png"], check=True)
        rar(archive, ["p2.png"], src)


def make_size_bombs(fresh, target):
    """A cover that declares 600 MiB of zeros (a sparse file, packed to a few
    kilobytes), before a real page."""
    src = fresh("bomb")
    with open(os.path.join(src, "p1.png"), "wb") as f:
        f.truncate(600 * 1024 * 1024)
    write_page(os.path.join(src, "p2.png"), 2)
    rar_in_order(target("zeros-600M.cbr"), ["p1.png", "p2.png"], src, "-m1")

    # A solid archive whose cover comes after two entries of 300 MiB of
    # zeros each: reaching the cover unpacks 600 MiB, though no entry alone
    # declares more than a cover may.
    src = fresh("solid-bomb")
    for name in ("a01.bin", "a02.bin"):
        with open(os.path.join(src, name), "wb") as f:
            f.truncate(300 * 1024 * 1024)
    write_page(os.path.join(src, "z.png"), 1)
    rar(target("solid-cover-behind-600M.cbr"), ["a01.bin", "a02.bin", "z.png"], src, "-s", "-m1")


def make_block_walks(fresh, target, work):
    """Intact archives of every shape, in both formats, for our own walk over
    their block headers (walk/)."""
    src = fresh("walk")
    stage(src, [("p1.png", 1), ("p2.png", 2), ("p3.bmp", 3)])
    write_text(os.path.join(src, "comment.txt"), "A comment for the archive\n")
    names = ["p1.png", "p2.png", "p3.bmp"]
    for name, options in (("rar5-plain.cbr", []), ("rar5-solid.cbr", ["-s"]),
                          ("rar5-comment.cbr", ["-zcomment.txt"]), ("rar5-recovery.cbr", ["-rr"]),
                          ("rar5-locked.cbr", ["-k"]), ("rar5-quick-open.cbr", ["-qo+"]),
                          ("rar5-times.cbr", ["-tsm4", "-tsc4", "-tsa4"]),
                          ("rar5-encrypted-headers.cbr", ["-hpsecret"]), ("rar5-encrypted-data.cbr", ["-psecret"])):
        rar(target("walk/" + name), names, src, "-ma5", *options)
    volumes = os.path.join(work, "walk-volumes")
    os.makedirs(volumes)
    rar(os.path.join(volumes, "book.rar"), names, src, "-ma5", "-m0", "-v1000b")
    shutil.copyfile(os.path.join(volumes, "book.part1.rar"), target("walk/rar5-volume.part1.rar"))
    shutil.copyfile(os.path.join(volumes, "book.part2.rar"), target("walk/rar5-volume.part2.rar"))

    pages_data = []
    for page in names:
        with open(os.path.join(src, page), "rb") as f:
            pages_data.append((page, f.read()))
    files = [rar4.entry(name, data) for name, data in pages_data]
    solid = [rar4.entry(name, data, flags=rar4.SOLID_FILE if i else 0) for i, (name, data) in enumerate(pages_data)]
    comment = rar4.entry("CMT", b"A comment for the archive", kind=rar4.SERVICE, flags=rar4.SKIP_IF_UNKNOWN)
    recovery = rar4.entry("RR", b"\0" * 512, kind=rar4.SERVICE, flags=rar4.SKIP_IF_UNKNOWN)
    large = [rar4.entry(name, data, large=True) for name, data in pages_data]
    # The first volume holds the first 40 bytes of the first page.
    volume = [rar4.entry(pages_data[0][0], pages_data[0][1][:40], flags=rar4.SPLIT_AFTER),
              rar4.end_header(rar4.END_NEXT_VOLUME)]
    for name, blocks, checked in (
            ("rar4-plain.cbr", [rar4.main_header()] + files + [rar4.end_header()], True),
            ("rar4-no-end.cbr", [rar4.main_header()] + files, True),
            ("rar4-solid.cbr", [rar4.main_header(rar4.SOLID)] + solid + [rar4.end_header()], True),
            ("rar4-comment.cbr", [rar4.main_header(), comment] + files + [rar4.end_header()], True),
            ("rar4-recovery.cbr", [rar4.main_header(rar4.RECOVERY)] + files + [recovery, rar4.end_header()], False),
            ("rar4-locked.cbr", [rar4.main_header(rar4.LOCKED)] + files + [rar4.end_header()], True),
            ("rar4-large-sizes.cbr", [rar4.main_header()] + large + [rar4.end_header()], True),
            ("rar4-volume.part1.rar",
             [rar4.main_header(rar4.VOLUME | rar4.FIRST_VOLUME | rar4.NEW_NUMBERING)] + volume, False),
            ("rar4-encrypted-headers.cbr",
             [rar4.main_header(rar4.ENCRYPTED_HEADERS), bytes(range(256)) * 3], False)):
        path = target("walk/" + name)
        rar4.write(path, blocks)
        if checked:
            # The real unrar must read what the writer made, to the last byte.
            result = subprocess.run(["unrar", "t", "-idq", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if result.returncode != 0:
                fail("unrar rejects %s: %s" % (name, result.stdout.decode(errors="replace")))


def main():
    args = sys.argv[1:]
    if not args:
        fail("usage: make_archives.py OUTDIR [--require FILE]...")
    out = os.path.abspath(args[0])
    rest = args[1:]
    while rest:
        if rest[0] != "--require" or len(rest) < 2:
            fail("unknown arguments: %s" % rest)
        if not os.path.isfile(rest[1]):
            fail("%s is missing; scripts/build-windows-libs.sh builds it" % rest[1])
        rest = rest[2:]
    if shutil.which("rar") is None:
        fail("`rar` (Debian non-free) makes these archives; scripts/setup.sh installs it")
    if os.path.isdir(out):
        shutil.rmtree(out)
    os.makedirs(out)
    with tempfile.TemporaryDirectory(prefix="quillet-rar-") as work:
        make(out, work)


if __name__ == "__main__":
    main()
