"""The project's tag file as the library finds and reads it, for one purpose:
learning a tag's type before a write.  The library writes a bit tag's low 8
bits and a word tag's low 16 bits whatever the value, so write_tag refuses a
value the tag cannot hold instead of storing another one.

The lookup is the library's: the name upper-cased, a binary search over
positions 1 to c - 1 of the index, names compared over 14 characters."""

import os
import struct
import sys
from collections import namedtuple

Tag = namedtuple("Tag", "name type address")
Tag.__doc__ = "A tag of the tag file: its name, 'bit', 'word' or 'dword', and its address text."

_NAME_CHARS = 14
_RECORD = 76
_MAX_FILE = 64 << 20

# What a tag of each type holds, as the library writes it.
RANGES = {"bit": (0, 1), "word": (-0x8000, 0xFFFF), "dword": (-0x80000000, 0xFFFFFFFF)}


def project_path(mailbox):
    """The tag file the library loads, from the RAVOWLD mailbox's bytes (byte
    0 the drive, from byte 2 the project's name): (Win32 path, the file it
    stands for here), or None when the mailbox names no project."""
    project = mailbox[2:].split(b"\0", 1)[0].decode("latin-1")
    drive = chr(mailbox[0])
    if not drive.isalpha() or not project or any(c in project for c in "\\/:") or ".." in project:
        return None
    path = "%s:\\RAVOWLD\\USR\\%s\\%s.TAG" % (drive, project, project)
    return path, host_path(path)


def host_path(path):
    """The host file a Win32 drive path stands for: the path itself on
    Windows; elsewhere <root>/drive/<x>/<the rest in lower case>, the root
    being QNAPI_ROOT or /dev/shm/qnapi-<uid> (/tmp/qnapi-<uid> without
    /dev/shm), as the library's platform layer maps it."""
    if sys.platform == "win32":
        return path
    root = os.environ.get("QNAPI_ROOT") or (
        ("/dev/shm" if os.path.isdir("/dev/shm") else "/tmp") + "/qnapi-%d" % os.getuid())
    parts = [p.lower() for p in path[2:].split("\\") if p]
    return "/".join([root, "drive", path[0].lower()] + parts)


def find(path, name):
    """The Tag that the library's lookup finds for `name` (bytes) in the tag
    file at `path`, or None when it finds none or the record is not usable.
    OSError when the file cannot be read."""
    with open(path, "rb") as f:
        data = f.read(_MAX_FILE + 1)
    if len(data) < 28 or len(data) > _MAX_FILE:
        return None
    n, c, tables, records = struct.unpack_from("<hhII", data, 12)
    if n <= 0 or c > n or tables + 4 * n > len(data):
        return None
    wanted = bytes(name).upper()
    if len(wanted) > _NAME_CHARS:
        return None

    def record(k):
        at = records + _RECORD * k
        return data[at:at + _RECORD] if k > 0 and at + _RECORD <= len(data) else None

    lo, hi = 1, c - 1
    while lo <= hi:
        mid = (lo + hi) // 2
        k = struct.unpack_from("<h", data, tables + 2 * mid)[0]
        raw = record(k)
        stored = raw[:_NAME_CHARS].split(b"\0", 1)[0] if raw else b"<UNDEFINED>"
        if stored == wanted and raw:
            return _usable(raw)
        if stored <= wanted:
            lo = mid + 1
        else:
            hi = mid - 1
    return None


def _usable(raw):
    name = raw[:_NAME_CHARS].split(b"\0", 1)[0].decode("latin-1")
    record_class = struct.unpack_from("<I", raw, 48)[0] & 0xF
    attributes = struct.unpack_from("<H", raw, 72)[0]
    address = raw[52:72].split(b"\0", 1)[0].decode("latin-1").upper()
    if record_class != 1 or attributes & 0x7C or len(address) < 3:
        return None
    if address[0] not in "CS" or address[1] not in "BW" or not all(ch in "0123456789" for ch in address[2:]):
        return None
    kind = "bit" if address[1] == "B" else "dword" if (attributes >> 7) & 7 == 1 else "word"
    return Tag(name, kind, address)
