"""What needs no connection: the library's settings, the server launcher and
window lookup, comment files, and small system services."""

import ctypes
import os
import threading

from . import lowlevel as _ll
from .errors import ArgumentError, Error, flag, integer, text, u32


class _Settings:
    """The library's settings (its exported variables), process-wide."""

    @property
    def area_timeout(self):
        """How long a data area's mutex is waited for, in ms (QNA_TimeOut)."""
        return _ll.QNA_TimeOut.value

    @area_timeout.setter
    def area_timeout(self, ms):
        _ll.QNA_TimeOut.value = u32("QNA_TimeOut", "area_timeout", ms)

    @property
    def request_timeout(self):
        """How long the request lock is waited for, in ms (QNA_MtxTimeOut)."""
        return _ll.QNA_MtxTimeOut.value

    @request_timeout.setter
    def request_timeout(self, ms):
        _ll.QNA_MtxTimeOut.value = u32("QNA_MtxTimeOut", "request_timeout", ms)

    @property
    def server_name(self):
        """The server's pipe name part (QNA_ServerName); '' is the fixed local
        pipe."""
        return _ll.QNA_ServerName.value.decode("latin-1")

    @server_name.setter
    def server_name(self, name):
        _ll.QNA_ServerName.value = text("QNA_ServerName", "server_name", name, 31)

    @property
    def area_sizes(self):
        """The six area sizes in words, as the last registration reported them."""
        return tuple(_ll.QNA_SizeTb)


settings = _Settings()


def os_version():
    """(major, minor, build, platform) of the operating system; platform is
    1 for Win32s, 2 for the Windows 95 family, 3 for the NT family (POSIX
    reports itself as NT)."""
    values = [ctypes.c_uint32(0) for _ in range(4)]
    result = _ll.QNA_GetOsVersion(*(ctypes.byref(v) for v in values))
    if result != 0:
        raise Error(result, 0, "QNA_GetOsVersion")
    return tuple(v.value for v in values)


def sleep(ms):
    """Sleeps for `ms` milliseconds (QNA_Sleep)."""
    _ll.QNA_Sleep(u32("QNA_Sleep", "ms", ms))


def start_server(directory=None, arguments=None, hidden=True):
    """Starts QUONIX.EXE from `directory` (else the current folder): True when
    started, False when a server runs already.  It does not wait for the
    server to come up.  The launcher leaves no detail code."""
    function = "QNA_StartQuonixHide" if hidden else "QNA_StartQuonix"
    if isinstance(directory, (str, bytes)) and directory and b"\0" not in os.fsencode(directory):
        # The server starts in that folder: a relative program path would be
        # looked up from there on POSIX, and not from the caller's folder.
        directory = os.path.abspath(directory)
    directory = text(function, "directory", directory, 1023, allow_none=True)
    arguments = text(function, "arguments", arguments, 1023, allow_none=True)
    result = getattr(_ll, function)(directory, arguments)
    if result == _ll.E_START_RUNNING:
        return False
    if result != 0:
        raise Error(result, 0, function)
    return True


_MATCH_MODES = {"prefix": _ll.TITLE_PREFIX, "suffix": _ll.TITLE_SUFFIX,
                "substring": _ll.TITLE_SUBSTRING}


def find_window(pattern, match="prefix", ignore_case=False):
    """True when a top-level window's title matches `pattern`: match is
    "prefix", "suffix" or "substring"; ignore_case compares in upper case."""
    function = "QNA_FindAppTitle"
    if match not in _MATCH_MODES:
        raise ArgumentError(function, "match must be one of %s" % ", ".join(_MATCH_MODES))
    mode = _MATCH_MODES[match] | (_ll.TITLE_UPPER if flag(function, "ignore_case", ignore_case)
                                  else 0)
    # The library upper-cases the pattern in place: hand it a copy.
    buffer = ctypes.create_string_buffer(text(function, "pattern", pattern, 1023))
    return _ll.QNA_FindAppTitle(buffer, mode) == 1


# ---- comment files ------------------------------------------------------------

COMMENT_KINDS = {"word": _ll.CMNT_WORD, "bit": _ll.CMNT_BIT,
                 "system1": _ll.CMNT_SYSTEM1, "system2": _ll.CMNT_SYSTEM2}
_comment_lock = threading.Lock()
_open_comment = None  # the library keeps one open comment file per process


def _drive(function, name, value):
    letter = text(function, name, value, 1, allow_empty=False)
    if not letter.isalpha():
        raise ArgumentError(function, "%s must be a drive letter" % name, _ll.E_CMNT_ARG)
    return letter


class CommentFile:
    """The comment file of a user: 32-byte comments for data words (kind
    "word"), data bits ("bit") and two blocks of system comments ("system1",
    "system2").  The library keeps one open per process: opening or creating
    another closes this one.  Use it as a context manager, or call close().

    header: (words, bits, system1, system2), the comments of each kind."""

    def __init__(self, header):
        self.header = tuple(header)
        self.closed = False

    @classmethod
    def create(cls, user, words, bits, drive="C", system_drive="C", overwrite=False):
        """Creates the comment file with `words` word and `bits` bit comments
        (multiples of 16), blank, with the system comments of the
        installation, and opens it."""
        function = "QNA_CreateCmnt"
        user = text(function, "user", user, 255, allow_empty=False)
        words = integer(function, "words", words, -0x80000000, 0x7FFFFFFF)
        bits = integer(function, "bits", bits, -0x80000000, 0x7FFFFFFF)
        drive, system = _drive(function, "drive", drive), _drive(function, "system_drive",
                                                                 system_drive)
        with _comment_lock:
            cls._forget_open()
            result = _ll.QNA_CreateCmnt(drive, user, words, bits, system,
                                        flag(function, "overwrite", overwrite))
            if result != 0:
                raise Error(result, 0, function)
            return cls._opened((words, bits, 256, 256))

    @classmethod
    def open(cls, user, drive="C"):
        """Opens an existing comment file."""
        function = "QNA_OpenCmnt"
        user = text(function, "user", user, 255, allow_empty=False)
        drive = _drive(function, "drive", drive)
        header = (ctypes.c_uint32 * 4)()
        with _comment_lock:
            cls._forget_open()
            result = _ll.QNA_OpenCmnt(drive, user, header)
            if result != 0:
                raise Error(result, 0, function)
            return cls._opened(header)

    @classmethod
    def _opened(cls, header):
        global _open_comment
        _open_comment = cls(header)
        return _open_comment

    @staticmethod
    def _forget_open():
        # The library closes an open file before it opens or creates one.
        global _open_comment
        if _open_comment is not None:
            _open_comment.closed = True
            _open_comment = None

    def close(self):
        """Closes the file.  Closing again does nothing."""
        with _comment_lock:
            if self.closed:
                return
            self._forget_open()
            _ll.QNA_CloseCmnt()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _args(self, function, kind, first, count):
        if self.closed:
            raise Error(_ll.E_CMNT_NOTOPEN, 0, function, "the comment file is closed")
        if isinstance(kind, int) and not isinstance(kind, bool) and 0 <= kind <= 3:
            pass
        elif isinstance(kind, str) and kind in COMMENT_KINDS:
            kind = COMMENT_KINDS[kind]
        else:
            raise ArgumentError(function, "kind must be 0 to 3 or one of %s"
                                % ", ".join(COMMENT_KINDS), _ll.E_CMNT_ARG)
        first = integer(function, "first", first, 0, 0xFFFFFFFF)
        count = integer(function, "count", count, 0, 0xFFFFFFFF)
        if first + count > self.header[kind]:
            # The library refuses it too; checked here before the buffer is made.
            raise ArgumentError(function, "comments %d..%d pass the %d of their kind"
                                % (first, first + count - 1, self.header[kind]), _ll.E_CMNT_ARG)
        return kind, first, count

    def get(self, kind, first, count=1):
        """Reads `count` comments from comment `first`: a list of 32-byte bytes."""
        function = "QNA_GetCmnt"
        with _comment_lock:
            kind, first, count = self._args(function, kind, first, count)
            buffer = ctypes.create_string_buffer(_ll.CMNT_SIZE * max(count, 1))
            result = _ll.QNA_GetCmnt(kind, first, count, buffer)
        if result != 0:
            raise Error(result, 0, function)
        raw = buffer.raw
        return [raw[i:i + _ll.CMNT_SIZE] for i in range(0, _ll.CMNT_SIZE * count, _ll.CMNT_SIZE)]

    def text(self, kind, index):
        """One comment as a string, without its trailing blanks and NULs."""
        return self.get(kind, index, 1)[0].rstrip(b" \0").decode("latin-1")

    def put(self, kind, first, comments):
        """Writes comments (strings or bytes of at most 32 bytes each, padded
        with blanks) from comment `first`."""
        function = "QNA_PutCmnt"
        if isinstance(comments, (str, bytes, bytearray)):
            comments = [comments]
        data = bytearray()
        for comment in comments:
            if isinstance(comment, str):
                comment = comment.encode("latin-1", "replace")
            if not isinstance(comment, (bytes, bytearray)):
                raise ArgumentError(function, "each comment must be a string or bytes",
                                    _ll.E_CMNT_ARG)
            if len(comment) > _ll.CMNT_SIZE:
                raise ArgumentError(function, "a comment is longer than %d bytes"
                                    % _ll.CMNT_SIZE, _ll.E_CMNT_ARG)
            data += bytes(comment).ljust(_ll.CMNT_SIZE, b" ")
        count = len(data) // _ll.CMNT_SIZE
        with _comment_lock:
            kind, first, count = self._args(function, kind, first, count)
            buffer = ctypes.create_string_buffer(bytes(data), max(len(data), 1))
            result = _ll.QNA_PutCmnt(kind, first, count, buffer)
        if result != 0:
            raise Error(result, 0, function)
