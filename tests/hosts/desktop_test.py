#!/usr/bin/env python3
"""End-to-end tests of what users install, each one a subcommand:

  installed  cmake --install into a temporary prefix, then the thumbnailer run
             from its entry's own Exec line, as a desktop runs it
  sandbox    the same inside bubblewrap, shaped the way GNOME runs
             thumbnailers: /usr read-only, no network, the input bound to
             /tmp/gnome-desktop-file-to-thumbnail.<ext>
  gnome      a real client: gnome-desktop's thumbnail factory (python3-gi,
             GnomeDesktop 3.0) finds the entry and makes thumbnails with it,
             and finds what --cache put into the cache
  tumbler    a real client: XFCE's tumblerd, in a D-Bus session of its own
             with evince's entry installed too, runs Quillet's entry for each
             kind and refuses a broken comic
  cache      the installed quillet-thumbnail --cache over a small library:
             made, failed, skipped, interrupted
  version    quillet-thumbnail --version says the project's version; on
             Windows the program's and the module's version resources too
  cache_library  comics whose archive library is missing get no fail entry
  cache_names    names with escape sequences and line ends reach the
             terminal escaped
  cache_home     a cache folder whose name is not UTF-8
  package    Quillet-VERSION-x64.zip of the Windows build: its contents, and
             its module under Wine with the archive libraries beside it

Exit code 0 passed, 77 skipped (the reason is printed), anything else failed.
The comics are made here, from pages drawn by tests/fixtures/pages.py.
"""
import argparse
import configparser
import hashlib
import io
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tarfile
import time
import urllib.parse
import zipfile
import xml.etree.ElementTree as tree
import zlib

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "fixtures"))
import pages  # noqa: E402

MIME_TYPES = {
    ".cbz": "application/vnd.comicbook+zip",
    ".cbr": "application/vnd.comicbook-rar",
    ".cb7": "application/x-cb7",
    ".cbt": "application/x-cbt",
}


class Skip(Exception):
    pass


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def run(command, **kwargs):
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    kwargs.setdefault("text", True)
    return subprocess.run(command, **kwargs)


# ---- Comics -----------------------------------------------------------------

def constant_png(colour, width, height):
    """An RGBA PNG of one colour, made quickly at any size."""
    row = b"\x00" + bytes(colour + (255,)) * width

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(row * height, 6)) + chunk(b"IEND", b""))


def detailed_png(width, height):
    """An opaque RGBA PNG of gradients crossed by fine stripes: two scalers
    that differ at all give different thumbnails of it."""
    rows = []
    for y in range(height):
        row = bytearray(b"\x00")
        for x in range(width):
            stripe = 255 if (x // 3 + y // 5) % 2 else 0
            row += bytes((x * 255 // width, y * 255 // height, stripe, 255))
        rows.append(bytes(row))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(b"".join(rows), 6)) + chunk(b"IEND", b""))


def comic_pages(width=60, height=90, count=3, cover=None):
    """(name, bytes) of a comic's pages; page01 is the cover, in page 1's colour
    unless `cover` gives its PNG. They are stored out of order so that archive
    order alone would be wrong."""
    named = [("page%02d.png" % n, constant_png(pages.page_colour(n), width, height)) for n in range(1, count + 1)]
    if cover is not None:
        named[0] = (named[0][0], cover)
    return named[1:] + named[:1]


def make_comic(path, width=60, height=90, count=3, cover=None):
    """Writes a comic of the kind its extension names; False when the tool
    that makes that kind is missing."""
    kind = os.path.splitext(path)[1].lower()
    os.makedirs(os.path.dirname(path), exist_ok=True)
    entries = comic_pages(width, height, count, cover)
    if kind == ".cbz":
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
            for name, data in entries:
                archive.writestr(name, data)
        return True
    if kind == ".cbt":
        with tarfile.open(path, "w", format=tarfile.USTAR_FORMAT) as archive:
            for name, data in entries:
                info = tarfile.TarInfo(name)
                info.size = len(data)
                archive.addfile(info, io.BytesIO(data))
        return True
    tool = {".cb7": ["7z", "a", "-t7z", "-bd", "-y"], ".cbr": ["rar", "a", "-idq", "-ep"]}[kind]
    if shutil.which(tool[0]) is None:
        return False
    staging = path + ".pages"
    os.makedirs(staging, exist_ok=True)
    names = []
    for name, data in entries:
        with open(os.path.join(staging, name), "wb") as f:
            f.write(data)
        names.append(name)
    result = run(tool + [os.path.abspath(path) + (".7z" if kind == ".cb7" else ".rar")] + names, cwd=staging)
    check(result.returncode == 0, "%s failed: %s" % (tool[0], result.stderr or result.stdout))
    os.replace(os.path.abspath(path) + (".7z" if kind == ".cb7" else ".rar"), path)
    shutil.rmtree(staging)
    return True


def make_all_kinds(folder, stem, cover=None):
    """One comic of each kind; returns their paths (kinds whose tool is
    missing are left out, and said so)."""
    made = []
    for kind in (".cbz", ".cbr", ".cb7", ".cbt"):
        path = os.path.join(folder, stem + kind)
        if make_comic(path, cover=cover):
            made.append(path)
        else:
            print("note: no tool to make %s files here; that kind is not tried" % kind)
    check(made, "no comics could be made")
    return made


# ---- PNG --------------------------------------------------------------------

def read_png(path):
    """(header, text, rows) of an 8-bit RGBA or RGB PNG; rows of bytes."""
    with open(path, "rb") as f:
        data = f.read()
    check(data[:8] == b"\x89PNG\r\n\x1a\n", "%s is not a PNG" % path)
    offset, header, text, idat = 8, None, {}, b""
    while offset < len(data):
        length, kind = struct.unpack(">I4s", data[offset:offset + 8])
        body = data[offset + 8:offset + 8 + length]
        check(zlib.crc32(kind + body) & 0xFFFFFFFF == struct.unpack(">I", data[offset + 8 + length:offset + 12 + length])[0],
              "bad CRC in %s" % path)
        offset += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            header = dict(width=width, height=height, depth=depth, colour=colour, interlace=interlace)
        elif kind == b"tEXt":
            key, _, value = body.partition(b"\x00")
            text[key.decode("latin-1")] = value.decode("latin-1")
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    check(header is not None, "%s has no IHDR" % path)
    channels = {6: 4, 2: 3}[header["colour"]]
    raw = zlib.decompress(idat)
    stride = header["width"] * channels
    rows, previous = [], bytearray(stride)
    for y in range(header["height"]):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            left = line[x - channels] if x >= channels else 0
            up = previous[x]
            upper_left = previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + left) & 255
            elif kind == 2:
                line[x] = (line[x] + up) & 255
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - upper_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - upper_left)
                line[x] = (line[x] + (left if pa <= pb and pa <= pc else up if pb <= pc else upper_left)) & 255
        rows.append(bytes(line))
        previous = line
    return header, text, rows


def check_cover_thumbnail(path, size, what):
    """An 8-bit non-interlaced RGBA PNG, longest edge `size`, the cover's colour."""
    header, _, rows = read_png(path)
    check(header["depth"] == 8 and header["colour"] == 6 and header["interlace"] == 0,
          "%s: want an 8-bit non-interlaced RGBA PNG, got %s" % (what, header))
    check(max(header["width"], header["height"]) == size,
          "%s: longest edge %d, want %d" % (what, max(header["width"], header["height"]), size))
    check(header["height"] > header["width"], "%s: the cover is portrait, the thumbnail is %dx%d"
          % (what, header["width"], header["height"]))
    y, x = header["height"] // 2, header["width"] // 2
    pixel = tuple(rows[y][x * 4:x * 4 + 4])
    want = pages.page_colour(1) + (255,)
    check(all(abs(a - b) <= 3 for a, b in zip(pixel, want)),
          "%s: centre pixel %s is not the cover's colour %s" % (what, pixel, want))


# ---- Installing -----------------------------------------------------------

def install(build, work):
    prefix = os.path.join(work, "prefix")
    shutil.rmtree(prefix, ignore_errors=True)
    result = run(["cmake", "--install", build, "--prefix", prefix])
    check(result.returncode == 0, "cmake --install failed:\n" + result.stdout + result.stderr)
    for relative in ("bin/quillet-thumbnail", "lib/quillet/Quillet.wlx", "lib/quillet/Quillet.ini",
                     "share/thumbnailers/quillet.thumbnailer"):
        check(os.path.isfile(os.path.join(prefix, relative)), "the install lacks " + relative)
    check(os.access(os.path.join(prefix, "bin/quillet-thumbnail"), os.X_OK), "bin/quillet-thumbnail is not executable")
    return prefix


def read_entry(prefix):
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str
    parser.read(os.path.join(prefix, "share/thumbnailers/quillet.thumbnailer"))
    check(parser.sections() == ["Thumbnailer Entry", "X-Tumbler Settings"], "groups of the entry: %s" % parser.sections())
    check(parser["X-Tumbler Settings"].get("Priority", "").isdigit(),
          "Tumbler's Priority is %r" % parser["X-Tumbler Settings"].get("Priority"))
    entry = dict(parser["Thumbnailer Entry"])
    check(entry.get("TryExec") == "quillet-thumbnail", "TryExec is %r" % entry.get("TryExec"))
    check(entry.get("Exec") == "quillet-thumbnail -s %s %u %o", "Exec is %r" % entry.get("Exec"))
    types = [t for t in entry.get("MimeType", "").split(";") if t]
    check(sorted(types) == sorted(MIME_TYPES.values()), "MimeType is %r" % entry.get("MimeType"))
    return entry


def shared_mime_info_types():
    """Extension -> MIME type in the installed shared-mime-info, or None."""
    database = "/usr/share/mime/packages/freedesktop.org.xml"
    if not os.path.exists(database):
        return None
    namespace = "{http://www.freedesktop.org/standards/shared-mime-info}"
    found = {}
    for mime in tree.parse(database).getroot().iter(namespace + "mime-type"):
        for glob in mime.iter(namespace + "glob"):
            pattern = glob.get("pattern", "")
            if pattern.startswith("*.") and "." + pattern[2:] in MIME_TYPES:
                found["." + pattern[2:]] = mime.get("type")
    return found


def expand_exec(exec_line, size, path, output):
    """The command a desktop runs: the field codes of the Exec line replaced."""
    uri = "file://" + urllib.parse.quote(path, safe="/!$&'()*+,=:@~")
    codes = {"%s": str(size), "%u": uri, "%i": path, "%o": output, "%%": "%"}
    return [codes.get(word, word) for word in exec_line.split()]


def thumbnailer_environment(prefix):
    env = dict(os.environ)
    env["PATH"] = os.path.join(prefix, "bin") + os.pathsep + env.get("PATH", "")
    return env


def test_installed(args):
    prefix = install(args.build, args.work)
    entry = read_entry(prefix)
    known = shared_mime_info_types()
    if known is None:
        print("note: no shared-mime-info database here to check the MIME types against")
    else:
        for extension, mime in MIME_TYPES.items():
            check(known.get(extension) == mime,
                  "shared-mime-info gives %s the type %s, the entry says %s" % (extension, known.get(extension), mime))
    env = thumbnailer_environment(prefix)
    check(shutil.which(entry["TryExec"], path=env["PATH"]) == os.path.join(prefix, "bin", "quillet-thumbnail"),
          "TryExec does not find the installed program")
    comics = make_all_kinds(os.path.join(args.work, "comics with #, spaces and %"), "Issue #1 é")
    for comic in comics:
        for size in (128, 256):
            output = os.path.join(args.work, "out %s %d.png" % (os.path.basename(comic), size))
            command = expand_exec(entry["Exec"], size, comic, output)
            result = run(command, env=env, cwd="/")
            check(result.returncode == 0, "%s failed (%d): %s" % (command, result.returncode, result.stderr))
            check_cover_thumbnail(output, size, "%s at %d" % (comic, size))
            leftovers = [n for n in os.listdir(args.work) if n.endswith(".tmp")]
            check(not leftovers, "temporary files left: %s" % leftovers)
    # Not a comic: exit code 1 and no output file.
    junk = os.path.join(args.work, "junk.cbz")
    with open(junk, "wb") as f:
        f.write(b"PK\x03\x04 this is no archive at all")
    output = os.path.join(args.work, "junk.png")
    result = run(expand_exec(entry["Exec"], 128, junk, output), env=env)
    check(result.returncode == 1, "a broken comic gave exit code %d" % result.returncode)
    check(not os.path.exists(output), "a broken comic left an output file")
    print("installed thumbnailer: %d kinds of comic made into thumbnails from the Exec line" % len(comics))


def test_sandbox(args):
    bwrap = shutil.which("bwrap")
    if bwrap is None:
        raise Skip("bubblewrap (bwrap) is not installed")
    probe = run([bwrap, "--ro-bind", "/", "/", "--unshare-all", "true"])
    if probe.returncode != 0:
        raise Skip("bubblewrap cannot make a sandbox on this machine: " + probe.stderr.strip())
    prefix = install(args.build, args.work)
    entry = read_entry(prefix)
    comics = make_all_kinds(os.path.join(args.work, "comics"), "issue 1")
    for comic in comics:
        extension = os.path.splitext(comic)[1]
        outdir = os.path.join(args.work, "out" + extension)
        shutil.rmtree(outdir, ignore_errors=True)
        os.makedirs(outdir)
        inside = "/tmp/gnome-desktop-file-to-thumbnail" + extension
        # The prefix takes the place of /usr/local, so the program is found
        # on the sandbox's PATH the way an installation in /usr/local is.
        command = [bwrap,
                   "--ro-bind", "/usr", "/usr",
                   "--ro-bind", prefix, "/usr/local",
                   "--symlink", "usr/bin", "/bin", "--symlink", "usr/sbin", "/sbin",
                   "--symlink", "usr/lib", "/lib", "--symlink", "usr/lib64", "/lib64",
                   "--ro-bind-try", "/etc/ld.so.cache", "/etc/ld.so.cache",
                   "--proc", "/proc", "--dev", "/dev",
                   "--bind", outdir, "/tmp",
                   "--ro-bind", comic, inside,
                   "--unshare-all", "--die-with-parent", "--chdir", "/",
                   "--clearenv", "--setenv", "PATH", "/usr/local/bin:/usr/bin",
                   "--"] + expand_exec(entry["Exec"], 256, inside, "/tmp/thumbnail.png")
        result = run(command)
        check(result.returncode == 0, "in the sandbox, %s gave %d: %s" % (extension, result.returncode, result.stderr))
        check_cover_thumbnail(os.path.join(outdir, "thumbnail.png"), 256, "sandboxed " + extension)
        left = sorted(n for n in os.listdir(outdir) if n not in ("thumbnail.png", os.path.basename(inside)))
        check(not left, "the sandboxed run left %s" % left)
    # No network in there: the sandbox has no interface but loopback.
    result = run([bwrap, "--ro-bind", "/", "/", "--unshare-all", "--", "cat", "/proc/net/dev"])
    interfaces = [line.split(":")[0].strip() for line in result.stdout.splitlines()[2:]]
    check(interfaces in ([], ["lo"]), "the sandbox has network interfaces %s" % interfaces)
    print("sandboxed thumbnailer: %d kinds of comic" % len(comics))


GNOME_CLIENT = r'''
import os, sys
import gi
gi.require_version("GnomeDesktop", "3.0")
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GnomeDesktop, Gio
work, cached = sys.argv[1], sys.argv[2:]
factory = GnomeDesktop.DesktopThumbnailFactory.new(GnomeDesktop.DesktopThumbnailSize.LARGE)
for line in open(os.path.join(work, "comics.txt")):
    path, mime = line.rstrip("\n").split("\t")
    info = Gio.File.new_for_path(path)
    uri = info.get_uri()
    mtime = int(os.stat(path).st_mtime)
    if not factory.can_thumbnail(uri, mime, mtime):
        sys.exit("the factory finds no thumbnailer for " + mime)
    pixbuf = factory.generate_thumbnail(uri, mime, None)
    if pixbuf is None:
        sys.exit("the factory made no thumbnail of " + path)
    out = os.path.join(work, "gnome-" + os.path.basename(path) + ".png")
    pixbuf.savev(out, "png", [], [])
    print("made", out)
for path in cached:
    uri = Gio.File.new_for_path(path).get_uri()
    found = factory.lookup(uri, int(os.stat(path).st_mtime))
    if not found:
        sys.exit("the factory does not find the cached thumbnail of " + uri)
    print("found", found)
'''


def test_gnome(args):
    python = "/usr/bin/python3"
    probe = run([python, "-c", "import gi; gi.require_version('GnomeDesktop', '3.0'); "
                 "from gi.repository import GnomeDesktop"]) if os.path.exists(python) else None
    if probe is None or probe.returncode != 0:
        raise Skip("no python3-gi with GnomeDesktop 3.0 (gir1.2-gnomedesktop-3.0) here")
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        raise Skip("the client needs the prefix at /usr/local, which takes root and unshare")
    if shutil.which("bwrap") is None:
        raise Skip("gnome-desktop runs thumbnailers in bubblewrap, which is not installed")
    prefix = install(args.build, args.work)
    # Names with characters that URIs escape: the factory finds the cached
    # thumbnails only when our URIs and MD5 names are the same as GLib's.
    comics = make_all_kinds(os.path.join(args.work, "comics [#1; 100%]"), "Issue é & 1")
    with open(os.path.join(args.work, "comics.txt"), "w") as f:
        for comic in comics:
            f.write("%s\t%s\n" % (comic, MIME_TYPES[os.path.splitext(comic)[1]]))
    cache_home = os.path.join(args.work, "cache-home")
    shutil.rmtree(cache_home, ignore_errors=True)
    env = dict(os.environ, XDG_CACHE_HOME=cache_home)
    result = run([os.path.join(prefix, "bin/quillet-thumbnail"), "--cache", "--size", "large"] + comics, env=env)
    check(result.returncode == 0, "--cache failed (%d): %s%s" % (result.returncode, result.stdout, result.stderr))
    client = os.path.join(args.work, "client.py")
    with open(client, "w") as f:
        f.write(GNOME_CLIENT)
    # A mount namespace of its own puts the prefix at /usr/local for the
    # client and for the sandbox it starts, and for nothing else.
    script = ('mount --make-rprivate / && mount --bind "$0" /usr/local && '
              'exec env PATH=/usr/local/bin:/usr/bin:/bin XDG_DATA_DIRS=/usr/local/share:/usr/share '
              '/usr/bin/python3 "$@"')
    result = run(["unshare", "-m", "sh", "-c", script, prefix, client, args.work] + comics, env=env)
    check(result.returncode == 0, "the GNOME client failed (%d): %s%s" % (result.returncode, result.stdout, result.stderr))
    for comic in comics:
        check_cover_thumbnail(os.path.join(args.work, "gnome-" + os.path.basename(comic) + ".png"), 256,
                              "GNOME's thumbnail of " + comic)
    print(result.stdout.strip())
    print("gnome-desktop's factory: %d kinds made through the entry, %d found in the cache" % (len(comics), len(comics)))


TUMBLERD = "/usr/lib/x86_64-linux-gnu/tumbler-1/tumblerd"

# Runs inside a private D-Bus session: starts tumblerd, queues each request
# alone and waits, up to a limit, for it to finish; prints what tumblerd
# signalled for each URI as JSON.
TUMBLER_CLIENT = r'''
import json, subprocess, sys, time
from gi.repository import Gio, GLib
NAME = "org.freedesktop.thumbnails.Thumbnailer1"
PATH = "/org/freedesktop/thumbnails/Thumbnailer1"
tumblerd, log_path, flavor, limit, requests = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4]), sys.argv[5]
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
log = open(log_path, "w")
daemon = subprocess.Popen([tumblerd], stdout=log, stderr=subprocess.STDOUT)

def owned():
    try:
        bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
                      GLib.Variant("(s)", (NAME,)), None, Gio.DBusCallFlags.NONE, 1000, None)
        return True
    except GLib.Error:
        return False

signals, finished = [], set()
def on_signal(connection, sender, path, interface, name, parameters):
    values = parameters.unpack()
    if name == "Ready":
        signals.extend((values[0], uri, "Ready") for uri in values[1])
    elif name == "Error":
        signals.extend((values[0], uri, "Error %d: %s" % (values[2], values[3])) for uri in values[1])
    elif name == "Finished":
        finished.add(values[0])
bus.signal_subscribe(None, NAME, None, PATH, None, Gio.DBusSignalFlags.NONE, on_signal)
GLib.timeout_add(100, lambda: True)  # wakes the waits below
context = GLib.MainContext.default()

results = {}
try:
    deadline = time.monotonic() + limit
    while not owned():
        if daemon.poll() is not None or time.monotonic() > deadline:
            sys.exit("tumblerd did not take %s (see %s)" % (NAME, log_path))
        time.sleep(0.1)
    for line in open(requests):
        uri, mime = line.rstrip("\n").split("\t")
        handle = bus.call_sync(NAME, PATH, NAME, "Queue", GLib.Variant("(asasssu)", ([uri], [mime], flavor, "default", 0)),
                               GLib.VariantType("(u)"), Gio.DBusCallFlags.NONE, 10000, None).unpack()[0]
        deadline = time.monotonic() + limit
        while handle not in finished and time.monotonic() < deadline:
            context.iteration(True)
        results[uri] = {"finished": handle in finished, "signals": [s for h, u, s in signals if h == handle and u == uri]}
finally:
    daemon.terminate()
    try:
        daemon.wait(10)
    except subprocess.TimeoutExpired:
        daemon.kill()
print(json.dumps(results))
'''


def file_uri(path):
    return "file://" + urllib.parse.quote(path, safe="/!$&'()*+,=:@~")


def test_tumbler(args):
    python = "/usr/bin/python3"
    if not os.access(TUMBLERD, os.X_OK):
        raise Skip("Tumbler is not installed (no %s)" % TUMBLERD)
    if shutil.which("dbus-run-session") is None:
        raise Skip("no dbus-run-session here (package dbus-bin)")
    if not os.path.isfile("/usr/share/thumbnailers/evince.thumbnailer"):
        raise Skip("evince is not installed: there is no rival entry to win over")
    probe = run([python, "-c", "from gi.repository import Gio"]) if os.path.exists(python) else None
    if probe is None or probe.returncode != 0:
        raise Skip("no python3-gi here to talk to tumblerd")
    prefix = install(args.build, args.work)
    program = os.path.join(prefix, "bin/quillet-thumbnail")
    # A cover larger than the thumbnail and full of detail: whoever scales it
    # leaves their mark, so the cached thumbnail shows whose entry Tumbler ran.
    comics = make_all_kinds(os.path.join(args.work, "comics"), "issue 1", cover=detailed_png(300, 450))
    broken = os.path.join(args.work, "comics", "broken.cbz")
    with open(broken, "wb") as f:
        f.write(b"PK\x03\x04 this is no archive at all")

    expected = {}
    for comic in comics:
        expected[comic] = os.path.join(args.work, "quillet " + os.path.basename(comic) + ".png")
        result = run([program, "-s", "256", comic, expected[comic]])
        check(result.returncode == 0, "quillet-thumbnail failed on %s: %s" % (comic, result.stderr))
        # The fixture tells the two entries apart: evince's own thumbnail of it
        # is another picture.
        theirs = os.path.join(args.work, "evince " + os.path.basename(comic) + ".png")
        run(["evince-thumbnailer", "-s", "256", file_uri(comic), theirs])
        if os.path.exists(theirs):
            check(read_png(theirs)[2] != read_png(expected[comic])[2],
                  "evince's thumbnail of %s has the same pixels as Quillet's: the test could not tell them apart" % comic)

    # Quillet's prefix first, before the system's data folders where evince's
    # entry is, as a prefix such as /usr/local stands; then last, where
    # Tumbler reads evince's entry first and only the priority makes it
    # choose Quillet's.
    first = os.path.join(prefix, "share") + ":/usr/local/share:/usr/share"
    outcome, cache_home, log = tumbler_session(args, prefix, "first", first, comics + [broken])
    large = os.path.join(cache_home, "thumbnails", "large")
    for comic in comics:
        uri = file_uri(comic)
        check(outcome[uri] == {"finished": True, "signals": ["Ready"]},
              "tumblerd on %s: %s (log: %s)" % (comic, outcome[uri], log))
        cached = os.path.join(large, hashlib.md5(uri.encode()).hexdigest() + ".png")
        check(os.path.isfile(cached), "Tumbler said Ready for %s but cached no %s" % (comic, cached))
        check_same_thumbnail(cached, expected[comic], uri)
    uri = file_uri(broken)
    check(outcome[uri]["finished"] and [s for s in outcome[uri]["signals"] if s.startswith("Error")] and
          "Ready" not in outcome[uri]["signals"], "tumblerd on the broken comic: %s" % outcome[uri])
    name = hashlib.md5(uri.encode()).hexdigest() + ".png"
    made = [p for p in cache_files(os.path.join(cache_home, "thumbnails")) if os.path.basename(p) == name]
    check(not [p for p in made if "/fail/" not in p], "the broken comic has a thumbnail: %s" % made)
    refused = outcome[uri]["signals"][0]

    last = "/usr/local/share:/usr/share:" + os.path.join(prefix, "share")
    outcome, cache_home, log = tumbler_session(args, prefix, "last", last, comics[:1])
    uri = file_uri(comics[0])
    check(outcome[uri] == {"finished": True, "signals": ["Ready"]}, "tumblerd on %s: %s (log: %s)" % (comics[0], outcome[uri], log))
    check_same_thumbnail(os.path.join(cache_home, "thumbnails", "large", hashlib.md5(uri.encode()).hexdigest() + ".png"),
                         expected[comics[0]], uri)
    print("tumblerd: %d kinds made by Quillet's entry over evince's, the same pixels and chunks but for Tumbler's %s and its compression, "
          "with Quillet's folder first and last in XDG_DATA_DIRS; the broken comic refused (%s)"
          % (len(comics), "/".join(k.decode() for k in TUMBLER_CHUNKS), refused))


def tumbler_session(args, prefix, name, data_dirs, comics):
    """Runs tumblerd in a D-Bus session of its own, with a private HOME,
    cache and temporary folder, over the comics; returns (what it signalled
    for each URI, the cache folder, tumblerd's log)."""
    work = os.path.join(args.work, "session " + name)
    home, cache_home, temp = (os.path.join(work, n) for n in ("home", "cache-home", "tmp"))
    for folder in (home, cache_home, temp):
        os.makedirs(folder)
    requests = os.path.join(work, "requests.txt")
    with open(requests, "w") as f:
        for comic in comics:
            f.write("%s\t%s\n" % (file_uri(comic), MIME_TYPES[os.path.splitext(comic)[1]]))
    client = os.path.join(work, "client.py")
    with open(client, "w") as f:
        f.write(TUMBLER_CLIENT)
    # Tumbler runs the program of an entry by PATH.
    env = dict(os.environ, HOME=home, XDG_CACHE_HOME=cache_home, TMPDIR=temp, XDG_DATA_DIRS=data_dirs,
               PATH=os.path.join(prefix, "bin") + os.pathsep + os.environ.get("PATH", ""))
    for variable in ("XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "DBUS_SESSION_BUS_ADDRESS"):
        env.pop(variable, None)
    log = os.path.join(work, "tumblerd.log")
    result = run(["dbus-run-session", "--", "/usr/bin/python3", client, TUMBLERD, log, "large", "60", requests],
                 env=env, timeout=600)
    check(result.returncode == 0, "the Tumbler client failed (%d): %s%s" % (result.returncode, result.stdout, result.stderr))
    left = cache_files(temp)
    check(not left, "files left in the temporary folder: %s" % left)
    return json.loads(result.stdout.strip().splitlines()[-1]), cache_home, log


def png_chunks(path):
    """[(kind, body)] of a PNG file, in file order."""
    with open(path, "rb") as f:
        data = f.read()
    chunks, offset = [], 8
    while offset + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[offset:offset + 8])
        chunks.append((kind, data[offset + 8:offset + 8 + length]))
        offset += 12 + length
    return chunks


# What Tumbler adds when it writes the helper's picture into the cache.
TUMBLER_CHUNKS = (b"tEXt", b"sBIT")


def check_same_thumbnail(cached, expected, uri):
    """Tumbler decodes the helper's PNG and encodes it again with its text
    chunks (Thumb::URI, Thumb::MTime) and an sBIT chunk added, compressing
    the pixels its own way. The picture must be the same to the last byte of
    every pixel (no other thumbnailer's scaling gives those), and every other
    chunk but the compressed pixels (IHDR, IEND) byte for byte what
    quillet-thumbnail writes."""
    cached_header, cached_text, cached_rows = read_png(cached)
    expected_header, _, expected_rows = read_png(expected)
    check(cached_header == expected_header, "%s is %s, quillet-thumbnail gives %s" % (cached, cached_header, expected_header))
    check(cached_rows == expected_rows, "%s has other pixels than quillet-thumbnail gives (%s)" % (cached, expected))
    check(cached_text.get("Thumb::URI") == uri, "%s is the thumbnail of %s" % (cached, cached_text.get("Thumb::URI")))
    ours = png_chunks(expected)
    check(not [kind for kind, _ in ours if kind in TUMBLER_CHUNKS], "quillet-thumbnail wrote %s" % ours)
    compared = lambda chunks: [chunk for chunk in chunks if chunk[0] not in TUMBLER_CHUNKS + (b"IDAT",)]
    check(compared(png_chunks(cached)) == compared(ours),
          "%s, but for Tumbler's own chunks and the compressed pixels, is not byte for byte %s" % (cached, expected))


def cache_files(root):
    found = []
    for folder, _, names in os.walk(root):
        found.extend(os.path.join(folder, n) for n in names)
    return found


BIG_COMICS = 20


def test_cache(args):
    prefix = install(args.build, args.work)
    program = os.path.join(prefix, "bin/quillet-thumbnail")
    library = os.path.join(args.work, "library")
    shutil.rmtree(library, ignore_errors=True)
    comics = []
    for n in range(8):
        for kind in (".cbz", ".cbt"):
            path = os.path.join(library, "series %d" % (n % 2), "issue %02d%s" % (n, kind))
            make_comic(path)
            comics.append(path)
    broken = os.path.join(library, "broken.cbz")
    with open(broken, "wb") as f:
        f.write(b"PK\x03\x04 not really")
    cache_home = os.path.join(args.work, "cache-home")
    shutil.rmtree(cache_home, ignore_errors=True)
    env = dict(os.environ, XDG_CACHE_HOME=cache_home)
    root = os.path.join(cache_home, "thumbnails")

    first = run([program, "--cache", "-j", "3", "--size", "normal", library], env=env)
    check(first.returncode == 1, "first run: exit code %d, want 1 for the broken comic\n%s%s"
          % (first.returncode, first.stdout, first.stderr))
    check("made 16, up to date 0, failed 1 (1 new)" in first.stdout, "first run said: " + first.stdout)
    for comic in comics:
        uri = "file://" + urllib.parse.quote(comic, safe="/!$&'()*+,=:@~")
        png = os.path.join(root, "normal", hashlib.md5(uri.encode()).hexdigest() + ".png")
        header, text, _ = read_png(png)
        check(max(header["width"], header["height"]) == 128, "%s is %s" % (png, header))
        stat = os.stat(comic)
        check(text.get("Thumb::URI") == uri and text.get("Thumb::MTime") == str(int(stat.st_mtime)) and
              text.get("Thumb::Size") == str(stat.st_size) and
              text.get("Thumb::Mimetype") == MIME_TYPES[os.path.splitext(comic)[1]], "%s carries %s" % (png, text))
        check_cover_thumbnail(png, 128, "cached " + comic)
    fails = cache_files(os.path.join(root, "fail"))
    check([os.path.dirname(p) for p in fails] == [os.path.join(root, "fail", "quillet-" + args.project_version)],
          "fail entries: %s; the version is %s" % (fails, args.project_version))

    second = run([program, "--cache", "--size", "normal", library], env=env)
    check(second.returncode == 0, "second run: exit code %d\n%s" % (second.returncode, second.stderr))
    check("made 0, up to date 16, failed 1 (0 new), errors 0" in second.stdout, "second run said: " + second.stdout)

    # Interrupted: a library of big covers, a Ctrl-C once the first is done.
    big = os.path.join(args.work, "big library")
    shutil.rmtree(big, ignore_errors=True)
    for n in range(BIG_COMICS):
        make_comic(os.path.join(big, "big %02d.cbz" % n), width=1200, height=1800, count=1)
    process = subprocess.Popen([program, "--cache", "-j", "2", big], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    large = os.path.join(root, "large")
    deadline = time.time() + 120
    while time.time() < deadline and process.poll() is None:
        if os.path.isdir(large) and any(n.endswith(".png") for n in os.listdir(large)):
            break
        time.sleep(0.02)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=120)
    made = [p for p in cache_files(large) if p.endswith(".png")]
    check(not [p for p in cache_files(root) if not p.endswith(".png")], "files other than PNGs are left in the cache")
    for png in made:
        read_png(png)  # whole, or this raises
    if process.returncode == 0:
        print("note: the run ended before Ctrl-C reached it")
    else:
        check(process.returncode == 130, "interrupted run: exit code %d\n%s" % (process.returncode, err))
        check("stopped early" in out, "the interrupted run said: " + out)
        check(len(made) < BIG_COMICS, "all were made in spite of Ctrl-C")
    rest = run([program, "--cache", big], env=env)
    check(rest.returncode == 0, "the run after the interrupted one: %d\n%s" % (rest.returncode, rest.stderr))
    check("made %d, up to date %d," % (BIG_COMICS - len(made), len(made)) in rest.stdout,
          "after %d made, the next run said: %s" % (len(made), rest.stdout))
    print(first.stdout.strip())
    print(second.stdout.strip())
    print("interrupted after %d of %d; the next run made the rest" % (len(made), BIG_COMICS))


# ---- Version resources -------------------------------------------------------

def version_resource(path):
    """(fixed, strings) of a Windows module's version resource: fixed holds
    the four numbers of FileVersion and ProductVersion and the file type from
    VS_FIXEDFILEINFO, strings the StringFileInfo texts."""
    with open(path, "rb") as f:
        image = f.read()
    check(image[:2] == b"MZ", "%s is not a Windows module" % path)
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    check(image[pe:pe + 4] == b"PE\0\0", "%s has no PE header" % path)
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    check(struct.unpack_from("<H", image, optional)[0] == 0x20B, "%s is not a 64-bit module" % path)
    resource_rva = struct.unpack_from("<I", image, optional + 112 + 2 * 8)[0]  # data directory 2
    check(resource_rva != 0, "%s has no resources" % path)

    def offset_of(rva):
        for n in range(sections):
            virtual_size, address, raw_size, raw = struct.unpack_from("<IIII", image, optional + optional_size + 40 * n + 8)
            if address <= rva < address + max(virtual_size, raw_size):
                return raw + rva - address
        raise AssertionError("%s: address %#x lies in no section" % (path, rva))

    base = offset_of(resource_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", image, base + directory + 12)
        for n in range(named + numbered):
            key, target = struct.unpack_from("<II", image, base + directory + 16 + 8 * n)
            yield key, target

    def first(directory, wanted=None):
        for key, target in entries(directory):
            if wanted is None or key == wanted:
                return target
        raise AssertionError("%s has no version resource" % path)

    # Type RT_VERSION (16), name 1, the first language: each a subdirectory
    # (high bit set) down to the data entry.
    leaf = first(first(first(0, 16) & 0x7FFFFFFF, 1) & 0x7FFFFFFF) & 0x7FFFFFFF
    data_rva, size = struct.unpack_from("<II", image, base + leaf)
    data = image[offset_of(data_rva):offset_of(data_rva) + size]

    def block(start):
        """(key, value bytes, is text, children, end) of one block."""
        length, value_length, is_text = struct.unpack_from("<HHH", data, start)
        end = start + length
        key_end = start + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[start + 6:key_end].decode("utf-16-le")
        position = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if is_text else value_length
        value = data[position:position + value_size]
        position = (position + value_size + 3) & ~3
        children = []
        while position < end:
            child = block(position)
            children.append(child)
            position = (child[4] + 3) & ~3
        return key, value, is_text, children, end

    root = block(0)
    check(root[0] == "VS_VERSION_INFO", "%s: the version resource is %r" % (path, root[0]))
    signature, _, file_ms, file_ls, product_ms, product_ls, _, _, _, file_type = struct.unpack_from("<10I", root[1])
    check(signature == 0xFEEF04BD, "%s: VS_FIXEDFILEINFO has the signature %#x" % (path, signature))
    fixed = dict(file=(file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF),
                 product=(product_ms >> 16, product_ms & 0xFFFF, product_ls >> 16, product_ls & 0xFFFF),
                 type=file_type)
    strings = {}
    for child in root[3]:
        if child[0] == "StringFileInfo":
            for table in child[3]:
                for key, value, _, _, _ in table[3]:
                    strings[key] = value.decode("utf-16-le").rstrip("\0")
    return fixed, strings


def check_version_resource(path, version, file_type, description):
    fixed, strings = version_resource(path)
    numbers = tuple(int(n) for n in version.split(".")) + (0,)
    check(fixed == dict(file=numbers, product=numbers, type=file_type),
          "%s: VS_FIXEDFILEINFO %s, want the version %s and the file type %d" % (path, fixed, version, file_type))
    for key, want in (("FileVersion", version), ("ProductVersion", version), ("ProductName", "Quillet"),
                      ("OriginalFilename", os.path.basename(path))):
        check(strings.get(key) == want, "%s: %s is %r, want %r" % (path, key, strings.get(key), want))
    check(description in strings.get("FileDescription", ""),
          "%s: FileDescription is %r" % (path, strings.get("FileDescription")))
    return strings


def test_version(args):
    version = args.project_version
    windows = os.path.exists(os.path.join(args.build, "quillet-thumbnail.exe"))
    if windows:
        program = os.path.join(args.build, "quillet-thumbnail.exe")
        command = ["bash", os.path.join(args.build, "wine-run.sh"), program, "--version"]
    else:
        program = os.path.join(install(args.build, args.work), "bin", "quillet-thumbnail")
        command = [program, "--version"]
    result = run(command, timeout=300)
    check(result.returncode == 0, "%s --version gave %d: %s" % (program, result.returncode, result.stderr))
    check(result.stdout.replace("\r\n", "\n") == "quillet-thumbnail %s\n" % version,
          "%s --version said %r; the project's version is %s" % (program, result.stdout, version))
    if not windows:
        print("quillet-thumbnail --version: %s" % result.stdout.strip())
        return
    # VFT_APP 1, VFT_DLL 2
    for path, file_type, description in ((program, 1, "thumbnail"), (os.path.join(args.build, "Quillet.wlx64"), 2, "plugin")):
        strings = check_version_resource(path, version, file_type, description)
        print("%s: %s" % (os.path.basename(path), ", ".join("%s=%s" % item for item in sorted(strings.items()))))
    print("quillet-thumbnail.exe --version under Wine: %s" % result.stdout.strip())


def cache_uri(path):
    return "file://" + urllib.parse.quote(path, safe="/!$&'()*+,=:@~")


def cache_entries(root, comics):
    """Which comics have a thumbnail and which a fail entry of ours."""
    made, failed = [], []
    for comic in comics:
        name = hashlib.md5(cache_uri(comic).encode()).hexdigest() + ".png"
        for size in ("normal", "large"):
            if os.path.isfile(os.path.join(root, size, name)):
                made.append(comic)
        for folder in glob_fail_folders(root):
            if os.path.isfile(os.path.join(folder, name)):
                failed.append(comic)
    return made, failed


def glob_fail_folders(root):
    fail = os.path.join(root, "fail")
    if not os.path.isdir(fail):
        return []
    return [os.path.join(fail, n) for n in os.listdir(fail) if n.startswith("quillet-")]


def test_cache_library(args):
    """Comics whose archive library the module cannot load get no fail
    entry, and are made once the settings name the library rightly."""
    prefix = install(args.build, args.work)
    program = os.path.join(prefix, "bin/quillet-thumbnail")
    library = os.path.join(args.work, "library")
    cbrs = [os.path.join(library, "rar %d.cbr" % n) for n in range(3)]
    for comic in cbrs:
        if not make_comic(comic):
            raise Skip("no rar to make .cbr files")
    cbz = os.path.join(library, "zip.cbz")
    make_comic(cbz)
    settings = os.path.join(prefix, "lib/quillet/Quillet.ini")
    with open(settings) as f:
        good = f.read()
    check("libunrar.so.5=libunrar.so.5" in good, "the installed Quillet.ini: " + good)
    with open(settings, "w") as f:
        f.write(good.replace("libunrar.so.5=libunrar.so.5", "libunrar.so.5=/nowhere/libunrar.so.5"))
    env = dict(os.environ, XDG_CACHE_HOME=os.path.join(args.work, "cache-home"))
    root = os.path.join(args.work, "cache-home", "thumbnails")

    first = run([program, "--cache", "-j", "2", library], env=env)
    made, failed = cache_entries(root, cbrs + [cbz])
    check(made == [cbz] and failed == [], "with the wrong unrar path: made %s, fail entries %s\n%s%s"
          % (made, failed, first.stdout, first.stderr))
    check(first.returncode == 2, "with the wrong unrar path: exit code %d, want 2\n%s" % (first.returncode, first.stderr))
    check(first.stderr.count("libunrar.so.5") == 1, "the missing library is not said exactly once:\n" + first.stderr)
    check("without their archive library 3" in first.stdout, "the summary: " + first.stdout)

    with open(settings, "w") as f:
        f.write(good)
    second = run([program, "--cache", library], env=env)
    made, failed = cache_entries(root, cbrs + [cbz])
    check(sorted(made) == sorted(cbrs + [cbz]) and failed == [],
          "with the path mended: made %s, fail entries %s\n%s%s" % (made, failed, second.stdout, second.stderr))
    check(second.returncode == 0 and "made 3, up to date 1" in second.stdout,
          "with the path mended: %d\n%s%s" % (second.returncode, second.stdout, second.stderr))
    print(first.stdout.strip())
    print(second.stdout.strip())


def test_cache_crash(args):
    """A comic that crashes the process making its thumbnail costs that
    worker only: it gets a fail entry, the others their thumbnails, the
    summary counts it apart, and the next run does not try it again."""
    program = os.path.join(args.build, "quillet-thumbnail")
    crashing = os.path.join(args.build, "test-libraries", "quillet-crashing-module.so")
    library = os.path.join(args.work, "library")
    comics = [os.path.join(library, name) for name in ("a.cbz", "b crash.cbz", "c.cbz", "d.cbz", "e crash.cbz")]
    for comic in comics:
        make_comic(comic)
    crashers = [c for c in comics if "crash" in os.path.basename(c)]
    healthy = [c for c in comics if c not in crashers]
    env = dict(os.environ, XDG_CACHE_HOME=os.path.join(args.work, "cache-home"),
               QUILLET_FORWARD_MODULE=os.path.join(args.build, "Quillet.wlx"))
    root = os.path.join(args.work, "cache-home", "thumbnails")

    first = run([program, "--module", crashing, "--cache", "-j", "2", library], env=env)
    made, failed = cache_entries(root, comics)
    check(sorted(made) == healthy and sorted(failed) == crashers,
          "made %s, fail entries %s\n%s%s" % (made, failed, first.stdout, first.stderr))
    check(first.returncode == 1, "exit code %d, want 1\n%s%s" % (first.returncode, first.stdout, first.stderr))
    check("made 3, up to date 0, failed 0 (0 new), errors 0, ended their worker process 2" in first.stdout,
          "the summary: " + first.stdout)
    for comic in crashers:
        check(first.stderr.count(comic) == 1, "the crash on %s is not said once:\n%s" % (comic, first.stderr))
    for comic in healthy:
        entry = os.path.join(root, "large", hashlib.md5(cache_uri(comic).encode()).hexdigest() + ".png")
        check_cover_thumbnail(entry, 256, "cached " + comic)

    second = run([program, "--module", crashing, "--cache", library], env=env)
    check(second.returncode == 0 and "made 0, up to date 3, failed 2 (0 new), errors 0:" in second.stdout,
          "the next run: %d\n%s%s" % (second.returncode, second.stdout, second.stderr))

    # A comic on which the library never returns: its worker is ended once
    # the time per comic is up, and the run goes on.
    stuck_library = os.path.join(args.work, "stuck")
    stuck = os.path.join(stuck_library, "f hang.cbz")
    after = os.path.join(stuck_library, "g.cbz")
    make_comic(stuck)
    make_comic(after)
    third = run([program, "--module", crashing, "--cache", "-j", "1", "--request-timeout", "2", stuck_library], env=env)
    made, failed = cache_entries(root, [stuck, after])
    check(made == [after] and failed == [stuck] and third.returncode == 1 and
          "ended their worker process 1" in third.stdout and "within 2 s" in third.stderr,
          "a comic that hangs: made %s, fail entries %s, exit code %d\n%s%s"
          % (made, failed, third.returncode, third.stdout, third.stderr))
    check(not workers_of(crashing), "workers left after the run: %s" % workers_of(crashing))

    # A run killed outright takes its workers with it, even one stuck in a
    # library.
    os.remove(glob_fail_entry(root, stuck))
    process = subprocess.Popen([program, "--module", crashing, "--cache", "-j", "1", stuck_library], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.time() + 60
    while time.time() < deadline and not workers_of(crashing):
        time.sleep(0.05)
    check(workers_of(crashing), "no worker started within a minute")
    time.sleep(0.5)  # the worker is inside the request by now
    process.kill()
    process.wait()
    deadline = time.time() + 10
    while time.time() < deadline and workers_of(crashing):
        time.sleep(0.05)
    check(not workers_of(crashing), "workers outlived the killed run: %s" % workers_of(crashing))
    print(first.stdout.strip())
    print(second.stdout.strip())
    print(third.stdout.strip())


def workers_of(module):
    """The pids of live --cache-worker processes that load this module."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                words = f.read().split(b"\0")
            with open("/proc/%s/stat" % entry) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if b"--cache-worker" in words and module.encode() in words and state != "Z":
            pids.append(int(entry))
    return pids


def glob_fail_entry(root, comic):
    name = hashlib.md5(cache_uri(comic).encode()).hexdigest() + ".png"
    for folder in glob_fail_folders(root):
        if os.path.isfile(os.path.join(folder, name)):
            return os.path.join(folder, name)
    raise AssertionError("no fail entry for " + comic)


def test_cache_names(args):
    """Names with escape sequences and line ends reach the terminal escaped,
    in every message that names a file."""
    prefix = install(args.build, args.work)
    program = os.path.join(prefix, "bin/quillet-thumbnail")
    library = os.path.join(args.work, "library \x1b]0;title\x07")
    good = os.path.join(library, "red \x1b[31mcover\x1b[0m.cbz")
    make_comic(good)
    broken = os.path.join(library, "two\nlines \x1b[2J.cbz")
    with open(broken, "wb") as f:
        f.write(b"PK\x03\x04 not really")
    missing = os.path.join(args.work, "gone \x1b[5m.cbz")
    not_comic = os.path.join(args.work, "notes \x9b31m.txt")
    # Found by the walk: a name that is not UTF-8 cannot be passed on to the module.
    not_utf8 = os.fsdecode(os.path.join(os.fsencode(library), b"bad \xff.cbz"))
    make_comic(not_utf8)
    with open(not_comic, "w") as f:
        f.write("text")
    cache_home = os.path.join(args.work, "cache \x1b[7m")
    env = dict(os.environ, XDG_CACHE_HOME=cache_home)

    runs = [run([program, "--cache", library, missing, not_comic], env=env),
            run([program, broken, os.path.join(args.work, "out \x1b[1m.png")], env=env),
            run([program, missing, os.path.join(args.work, "out.png")], env=env)]
    said = "".join(r.stdout + r.stderr for r in runs)
    check("\x1b" not in said and "\x07" not in said and "\x9b" not in said,
          "a control reached the terminal: %r" % said)
    for line in said.splitlines():
        check(line.startswith("quillet-thumbnail: "), "a line that no message begins: %r in %r" % (line, said))
    for shown in ("library \\x1B]0;title\\x07", "gone \\x1B[5m.cbz", "notes \\u009B31m.txt", "bad \\xFF.cbz",
                  "cache \\x1B[7m", "two\\x0Alines \\x1B[2J.cbz"):
        check(shown in said, "%r is not shown escaped in %r" % (shown, said))
    check(runs[0].returncode == 2 and "made 1, up to date 0, failed 1 (1 new)" in runs[0].stdout,
          "the run over the names: %d %r" % (runs[0].returncode, runs[0].stdout))
    print(said)


def test_cache_home(args):
    """XDG_CACHE_HOME names a folder whose name is not UTF-8: every comic is
    an error of its own, and the run ends with its summary."""
    prefix = install(args.build, args.work)
    program = os.path.join(prefix, "bin/quillet-thumbnail")
    library = os.path.join(args.work, "library")
    for n in range(4):
        make_comic(os.path.join(library, "issue %d.cbz" % n))
    cache_home = os.fsdecode(os.path.join(os.fsencode(args.work), b"cache-\xff\xfe"))
    result = run([program, "--cache", "-j", "2", library], env=dict(os.environ, XDG_CACHE_HOME=cache_home))
    check(result.returncode == 2, "exit code %d, want 2\n%s%s" % (result.returncode, result.stdout, result.stderr))
    check("4 of 4 comics" in result.stdout, "the summary: %r" % result.stdout)
    print(result.stdout.strip())


def test_package(args):
    zip_name = "Quillet-%s-x64.zip" % args.project_version
    package = os.path.join(args.build, zip_name)
    check(os.path.isfile(package), "no %s in %s" % (zip_name, args.build))
    with zipfile.ZipFile(package) as archive:
        names = sorted(archive.namelist())
        check(names == sorted(["pluginst.inf", "Quillet.wlx64", "Quillet.ini", "readme.txt"]),
              "the package holds %s" % names)
        unpacked = os.path.join(args.work, "unpacked")
        shutil.rmtree(unpacked, ignore_errors=True)
        archive.extractall(unpacked)
    with open(os.path.join(unpacked, "pluginst.inf"), "rb") as f:
        inf = f.read().decode("ascii")
    check("\r\n" in inf, "pluginst.inf lacks Windows line ends")
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str
    parser.read_string(inf)
    check(parser.sections() == ["plugininstall"], "pluginst.inf sections: %s" % parser.sections())
    section = parser["plugininstall"]
    check(section.get("type") == "wlx" and section.get("file") == "Quillet.wlx64" and
          section.get("defaultdir") == "Quillet" and section.get("description"),
          "pluginst.inf says %s" % dict(section))
    check(section["description"].startswith("Quillet %s:" % args.project_version),
          "pluginst.inf's description does not name version %s: %r" % (args.project_version, section["description"]))
    with open(os.path.join(unpacked, "Quillet.ini"), "rb") as f:
        ini = f.read().decode("ascii")
    lines = [line.strip() for line in ini.splitlines()]
    check("[DllPath]" in lines, "Quillet.ini has no [DllPath]")
    after = lines[lines.index("[DllPath]") + 1:]
    for library in ("unrar64.dll", "7z.64.dll"):
        example = [line for line in after if line.startswith(";" + library + "=")]
        check(example and "%" in example[0].split("=", 1)[1],
              "Quillet.ini has no commented %s example with a %%VAR%% path" % library)
    check(not [line for line in after if line and not line.startswith(";")],
          "Quillet.ini sets a path where it should only show examples")
    with open(os.path.join(unpacked, "readme.txt"), "rb") as f:
        readme = f.read().decode("ascii")
    for needed in ("unrar64.dll", "7z.64.dll", "beside Quillet.wlx64", "Quillet.ini", "thumbnail", zip_name,
                   "Quillet %s" % args.project_version):
        check(needed in readme, "readme.txt does not mention %r" % needed)
    check_version_resource(os.path.join(unpacked, "Quillet.wlx64"), args.project_version, 2, "plugin")

    libraries = os.environ.get("QUILLET_WINDOWS_LIBS", os.path.expanduser("~/.cache/quillet/windows-libs"))
    missing = [n for n in ("7z.64.dll", "unrar64.dll") if not os.path.isfile(os.path.join(libraries, n))]
    if missing:
        raise Skip("contents checked; no %s in %s to run the module with (scripts/build-windows-libs.sh makes them)"
                   % (", ".join(missing), libraries))
    # The packaged module, installed as a user would: the libraries beside it.
    plugin = os.path.join(args.work, "plugin folder")
    shutil.rmtree(plugin, ignore_errors=True)
    shutil.copytree(unpacked, plugin)
    for name in ("7z.64.dll", "unrar64.dll"):
        shutil.copy(os.path.join(libraries, name), plugin)
    program = os.path.join(args.build, "quillet-thumbnail.exe")
    wine = os.path.join(args.build, "wine-run.sh")
    comics = make_all_kinds(os.path.join(args.work, "comics"), "issue 1")
    for comic in comics:
        output = os.path.join(args.work, os.path.basename(comic) + ".png")
        if os.path.exists(output):
            os.remove(output)
        result = run(["bash", wine, program, "--module", "Z:" + os.path.join(plugin, "Quillet.wlx64").replace("/", "\\"),
                      "-s", "200", "Z:" + comic.replace("/", "\\"), "Z:" + output.replace("/", "\\")], timeout=300)
        check(result.returncode == 0, "under Wine, %s gave %d: %s" % (comic, result.returncode, result.stderr))
        check_cover_thumbnail(output, 200, "packaged module, " + comic)
    # --cache fills a Linux desktop's cache: on Windows it says so and stops.
    result = run(["bash", wine, program, "--module", "Z:" + os.path.join(plugin, "Quillet.wlx64").replace("/", "\\"),
                  "--cache", "Z:" + os.path.dirname(comics[0]).replace("/", "\\")], timeout=300)
    check(result.returncode == 2 and "not available" in result.stderr,
          "--cache on Windows gave %d: %s" % (result.returncode, result.stderr))
    print("package: %s; its module made thumbnails of %d kinds under Wine" % (", ".join(names), len(comics)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("test", choices=["installed", "sandbox", "gnome", "tumbler", "cache", "cache_library",
                                         "cache_names", "cache_home", "cache_crash", "version", "package"])
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--project-version", required=True, help="the version CMake gives the project")
    args = parser.parse_args()
    args.work = os.path.abspath(args.work)
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    try:
        globals()["test_" + args.test](args)
    except Skip as reason:
        print("SKIPPED: %s" % reason)
        return SKIP
    except AssertionError as failure:
        print("FAILED: %s" % failure)
        return 1
    print("PASSED")
    return 0


if __name__ == "__main__":
    sys.exit(main())
