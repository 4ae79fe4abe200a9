"""QNAPI for Python: the client library of the QUONIX control runtime over
ctypes, with nothing outside the standard library.

    import qnapi
    with qnapi.connect("MYAPP") as plant:              # the local server
        speed = plant.read_word(1, 100)
        plant.write(1, 100, [speed + 1])

    with qnapi.connect("MYAPP", host="plant1") as c:   # a server's pipe
        ...
    with qnapi.connect("MYAPP", host="10.0.0.5", port=5021) as c:   # TCP
        ...

Every failure raises qnapi.Error with .result, .detail and .text; an
argument refused before the call raises qnapi.ArgumentError (an Error with
result 6, and a ValueError and TypeError too).  Reads return array('H')
(words), bytes (bits, one byte of 0 or 1 each) or int; writes take sequences.
qnapi.lowlevel declares every exported function of the library as it is.

The library is found through QNAPI_LIBRARY, next to this package, or on the
system's library path.
"""

from . import lowlevel
from .lowlevel import (  # noqa: F401  result codes and constants
    OK, E_MUTEX, E_ARG, E_NOTOPEN, E_OPEN, E_NOMEM, E_WRITE, E_READ, E_NOCONN, E_NOPLATFORM,
    E_INTERNAL, WAIT_ABANDONED, WAIT_TIMEOUT, WAIT_FAILED, E_TAG_OPEN, E_TAG_FILE,
    E_TAG_NOTLOADED, E_TAG_UNUSABLE, E_TAG_NOTFOUND, E_START_PROCESS, E_START_NOFILE,
    E_START_RUNNING, E_CMNT_OPEN, E_CMNT_IO, E_CMNT_NOTOPEN, E_CMNT_CREATE, E_CMNT_EXISTS,
    E_CMNT_ARG, E_REQUEST_ID, E_EVQ_CREATE, E_EVQ_HANDLE, E_EVQ_BUSY, E_EVQ_READ, E_EVQ_EMPTY,
    E_EVQ_SMALL, E_EVQ_NOBUFFER, E_EVQ_OPEN, E_EVQ_LOCK, EVQ_ANY, CMINFO_SIZE, APPINFO_SIZE)
from .errors import ArgumentError, Error, result_text
from .connection import Connection, Event, EventQueue, Message, MAX_TRANSFER, connect
from .local import CommentFile, find_window, os_version, settings, sleep, start_server

# Area numbers.
CB, CW, SB, SW, LGP, TMAN = range(6)

__all__ = [
    "lowlevel", "Error", "ArgumentError", "result_text", "Connection", "EventQueue", "Event",
    "Message", "MAX_TRANSFER", "connect", "CommentFile", "find_window", "os_version", "settings",
    "sleep", "start_server", "CB", "CW", "SB", "SW", "LGP", "TMAN",
]
