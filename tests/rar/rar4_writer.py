"""Writes archives in the RAR 4 format (that of RAR 1.5 to 4.x), stored only.

The `rar` of today no longer writes this format, so the tests make their RAR 4
archives with this writer, and make_archives.py has the real `unrar` test
every one that it can read in full. Each block is its 16-bit header CRC (the
low half of the CRC-32 of the header after that field), type, flags, header
size and, for blocks with data, the data's size; the data follows the header.
"""
import struct
import zlib

MARKER = b"Rar!\x1a\x07\x00"

MAIN = 0x73
FILE = 0x74
SERVICE = 0x7A
END = 0x7B

# Archive flags
VOLUME = 0x0001
LOCKED = 0x0004
SOLID = 0x0008
NEW_NUMBERING = 0x0010
RECOVERY = 0x0040
ENCRYPTED_HEADERS = 0x0080
FIRST_VOLUME = 0x0100
# File and service flags
SPLIT_AFTER = 0x0002
SOLID_FILE = 0x0010
LARGE = 0x0100
UNICODE_NAME = 0x0200
SKIP_IF_UNKNOWN = 0x4000
LONG_BLOCK = 0x8000
# End flags
END_NEXT_VOLUME = 0x0001

HOST_UNIX = 3
STORED = 0x30
DOS_TIME = (2024 - 1980) << 25 | 1 << 21 | 1 << 16  # 2024-01-01 00:00:00


def block(kind, flags, body, data=b""):
    size = 7 + len(body)
    header = struct.pack("<BHH", kind, flags, size) + body
    crc = zlib.crc32(header) & 0xFFFF
    return struct.pack("<H", crc) + header + data


def main_header(flags=0):
    return block(MAIN, flags, b"\0" * 6)


def entry(name, data, kind=FILE, flags=0, host_os=HOST_UNIX, attr=0o100644, large=False):
    """A stored file (or, with kind SERVICE, a service block such as "CMT")."""
    raw_name = name.encode("utf-8")
    flags |= LONG_BLOCK | (LARGE if large else 0)
    body = struct.pack("<IIBIIBBHI", len(data) & 0xFFFFFFFF, len(data) & 0xFFFFFFFF, host_os,
                       zlib.crc32(data), DOS_TIME, 29, STORED, len(raw_name), attr)
    if large:
        body += struct.pack("<II", len(data) >> 32, len(data) >> 32)
    return block(kind, flags, body + raw_name, data)


def end_header(flags=0):
    return block(END, SKIP_IF_UNKNOWN | flags, b"")


def write(path, blocks):
    with open(path, "wb") as f:
        f.write(MARKER + b"".join(blocks))
