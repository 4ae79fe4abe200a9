"""The library's exported functions, variables and structures, as declared in
qnapi.h, through ctypes.

Every prototype has its exact argument and result types, so that ctypes
converts and checks each argument the way the C compiler would.  Nothing here
checks values: a call with a wrong pointer can still crash the process.  The
package's friendly layer (qnapi.Connection and the rest) checks every argument
before it calls in here; use this module directly only for what that layer
does not offer.

The library is looked up, in this order: the file named by the environment
variable QNAPI_LIBRARY (only that one); a copy next to this package
(libqnapi.so, qnapi.dll); the system's library path (libqnapi.so.0 as the
dynamic linker finds it, then ctypes.util.find_library("qnapi")).  When none
loads, the ImportError lists what was tried and why each failed.
"""

import ctypes
import ctypes.util
import os
import sys

from ctypes import (POINTER, Structure, c_char, c_char_p, c_int16, c_int32,
                    c_uint8, c_uint16, c_uint32, c_void_p)

u32 = c_uint32
i32 = c_int32
P = POINTER

# Result codes and constants of qnapi.h.
OK = 0
E_MUTEX = 2
E_ARG = 6
E_NOTOPEN = 50
E_OPEN = 51
E_NOMEM = 100
E_WRITE = 101
E_READ = 102
E_NOCONN = 103
E_NOPLATFORM = 9998
E_INTERNAL = 9999
WAIT_ABANDONED = 95
WAIT_TIMEOUT = 640
WAIT_FAILED = -1

E_TAG_OPEN = 200
E_TAG_FILE = 201
E_TAG_NOTLOADED = 202
E_TAG_UNUSABLE = 203
E_TAG_NOTFOUND = 204

E_START_PROCESS = 200
E_START_NOFILE = 201
E_START_RUNNING = 202
TITLE_PREFIX = 0x01
TITLE_PREFIX2 = 0x02
TITLE_SUFFIX = 0x04
TITLE_SUBSTRING = 0x08
TITLE_UPPER = 0x10

E_CMNT_OPEN = 300
E_CMNT_IO = 301
E_CMNT_NOTOPEN = 302
E_CMNT_CREATE = 303
E_CMNT_EXISTS = 304
E_CMNT_ARG = 305
CMNT_WORD = 0
CMNT_BIT = 1
CMNT_SYSTEM1 = 2
CMNT_SYSTEM2 = 3
CMNT_SIZE = 32

MSG_NOREPLY = 1
E_REQUEST_ID = 807
CMINFO_SIZE = 448
APPINFO_SIZE = 512

E_EVQ_CREATE = 400
E_EVQ_HANDLE = 401
E_EVQ_BUSY = 406
E_EVQ_READ = 408
E_EVQ_EMPTY = 450
E_EVQ_SMALL = 451
E_EVQ_NOBUFFER = 452
E_EVQ_OPEN = 453
E_EVQ_LOCK = 499
EVQ_ANY = 100000
EVQ_NOWAIT = 1


class QNA_REGREC(Structure):
    _fields_ = [("first", c_uint32), ("second", c_uint32), ("name", c_char * 8)]


class QNA_CONNPARAM(Structure):
    _fields_ = [("first", c_uint32), ("second", c_uint32), ("name", c_char * 9),
                ("host", c_char * 16), ("port", c_uint32), ("attempts", c_int16)]


class QNA_EVENT(Structure):
    _fields_ = [("value", c_uint32), ("length", c_uint32), ("data", c_void_p)]


# name: (result type, argument types).  The order follows qnapi.h.
PROTOTYPES = {
    "NpipeRead": (i32, [c_void_p, c_void_p, u32, P(u32)]),
    "QNA_Open": (u32, [P(QNA_REGREC)]),
    "QNA_Close": (None, []),
    "QNA_EntAppName": (u32, [P(QNA_REGREC)]),
    "QNA_GetOsVersion": (u32, [P(u32), P(u32), P(u32), P(u32)]),
    "QNA_Sleep": (u32, [u32]),
    "QNA_Read": (u32, [u32, u32, u32, P(c_uint16), u32]),
    "QNA_ReadBit": (u32, [u32, u32, u32, P(c_uint8), u32]),
    "QNA_ReadMux": (u32, [u32, P(u32), P(u32), P(u32), P(c_uint16)]),
    "QNA_WriteSmem": (u32, [u32, u32, u32, P(c_uint16), u32]),
    "QNA_WriteSmemBit": (u32, [u32, u32, u32, P(c_uint8), u32]),
    "QNA_Write": (u32, [u32, u32, u32, P(c_uint16), u32]),
    "QNA_WriteBit": (u32, [u32, u32, u32, P(c_uint8), u32]),
    "QNA_WriteWithFlag": (u32, [u32, u32, u32, P(c_uint16), P(c_uint16), u32]),
    "QNA_ReadApp": (u32, [c_char_p, u32, u32, P(c_uint16)]),
    "QNA_WriteApp": (u32, [c_char_p, u32, u32, P(c_uint16), u32]),
    "QNA_InitRavo": (u32, []),
    "QNA_EndRavo": (None, []),
    # The tag name is upper-cased in place: pass a writable buffer.
    "QNA_ReadTag": (u32, [c_void_p, P(i32), u32]),
    "QNA_WriteTag": (u32, [c_void_p, i32, u32]),
    "QNA_StartQuonix": (u32, [c_char_p, c_char_p]),
    "QNA_StartQuonixHide": (u32, [c_char_p, c_char_p]),
    # The pattern is upper-cased in place with TITLE_UPPER: a writable buffer.
    "QNA_FindAppTitle": (u32, [c_void_p, i32]),
    "QNA_CreateCmnt": (u32, [c_char, c_char_p, i32, i32, c_char, u32]),
    "QNA_OpenCmnt": (u32, [c_char, c_char_p, P(u32)]),
    "QNA_CloseCmnt": (None, []),
    "QNA_GetCmnt": (u32, [u32, u32, u32, c_void_p]),
    "QNA_PutCmnt": (u32, [u32, u32, u32, c_void_p]),
    "QNA_OpenN": (u32, [P(QNA_CONNPARAM), P(u32)]),
    "QNA_CloseN": (None, [u32]),
    "QNA_ReadN": (u32, [u32, u32, u32, P(c_uint16), u32, u32]),
    "QNA_ReadBitN": (u32, [u32, u32, u32, P(c_uint8), u32, u32]),
    "QNA_ReadMuxN": (u32, [u32, P(u32), P(u32), P(u32), P(c_uint16), u32]),
    "QNA_WriteN": (u32, [u32, u32, u32, P(c_uint16), u32, u32]),
    "QNA_WriteBitN": (u32, [u32, u32, u32, P(c_uint8), u32, u32]),
    "QNA_OpenS": (u32, [P(QNA_CONNPARAM), P(u32)]),
    "QNA_CloseS": (None, [u32]),
    "QNA_ReadS": (u32, [u32, u32, u32, P(c_uint16), u32, u32]),
    "QNA_ReadBitS": (u32, [u32, u32, u32, P(c_uint8), u32, u32]),
    "QNA_ReadMuxS": (u32, [u32, P(u32), P(u32), P(u32), P(c_uint16), u32]),
    "QNA_WriteS": (u32, [u32, u32, u32, P(c_uint16), u32, u32]),
    "QNA_WriteBitS": (u32, [u32, u32, u32, P(c_uint8), u32, u32]),
    "QNA_SendMsg": (u32, [u32, u32, u32, u32, u32, c_void_p, u32]),
    "QNA_RecvMsg": (u32, [u32, P(u32), P(u32), P(u32), P(c_uint8), u32]),
    "QNA_SendMsgN": (u32, [u32, u32, u32, u32, u32, c_void_p, u32, u32]),
    "QNA_RecvMsgN": (u32, [u32, P(u32), P(u32), P(u32), P(c_uint8), u32, u32]),
    "QNA_SendMsgS": (u32, [u32, u32, u32, u32, u32, c_void_p, u32, u32]),
    "QNA_StartAPP": (u32, [u32, c_char_p, c_char_p, c_char_p, c_char_p,
                           u32, u32, u32, u32, P(u32)]),
    "QNA_SendCloseMsg": (u32, [u32, c_char_p, u32, u32, u32, P(u32), u32]),
    "QNA_WinTop": (u32, [u32, c_char_p, u32, u32, u32, P(u32), u32]),
    "QNA_GetReqStatus": (u32, [u32, u32, P(u32)]),
    "QNA_CancelReq": (u32, [u32, u32]),
    "QNA_ReadCmInfo": (u32, [c_void_p]),
    "QNA_ReadAppInfo": (u32, [c_void_p]),
    "QNA_OpenEvQueue": (u32, [u32, u32, P(u32), c_char_p, P(u32), u32]),
    "QNA_CloseEvQueue": (u32, [u32, u32]),
    "QNA_ReadEvQueue": (u32, [u32, P(c_uint16), c_void_p, P(QNA_EVENT), u32]),
    "QNA_WriteEvQueue": (u32, [u32, u32, P(QNA_EVENT)]),
    "QNA_GetMaxEvQueueNum": (u32, [u32, P(u32)]),
    "QNA_GetUsableEvQueueNum": (u32, [u32, P(u32), P(u32), u32]),
    "QNA_GetUsedEvQueueNum": (u32, [u32, P(u32), P(u32), u32]),
    "QNA_GetNamedEvQueueNum": (u32, [u32, c_char_p, P(u32), P(u32), u32]),
    "QNA_GetEvQueueName": (u32, [u32, u32, c_void_p]),
}

# Declared in qnapi_text.h; older builds of the library lack it.
OPTIONAL_PROTOTYPES = {
    "QNA_ResultText": (u32, [u32, i32, c_void_p, u32]),
}

# name: ctypes type of the exported variable.
VARIABLES = {
    "QNA_InternalErr": c_int32,
    "QNA_ServerName": c_char * 32,
    "QNA_SizeTb": c_uint32 * 6,
    "QNA_TimeOut": c_uint32,
    "QNA_MtxTimeOut": c_uint32,
}

# The library's file beside the package, and its name for the system's
# dynamic linker: the versioned name, which is the one a program linked with
# -lqnapi loads (the unversioned libqnapi.so comes only with the files for
# building against the library).
_FILE_NAMES = {"win32": ("qnapi.dll",), "darwin": ("libqnapi.dylib",)}
_SYSTEM_NAMES = {"win32": "qnapi.dll", "darwin": "libqnapi.dylib"}


def _candidates():
    env = os.environ.get("QNAPI_LIBRARY")
    if env:
        # Named explicitly: that file or nothing, so a wrong setting is not
        # hidden by some other copy of the library.
        return [env]
    here = os.path.dirname(os.path.abspath(__file__))
    names = _FILE_NAMES.get(sys.platform, ("libqnapi.so", "libqnapi.so.0"))
    found = [os.path.join(here, n) for n in names if os.path.exists(os.path.join(here, n))]
    # The system's library path: the dynamic linker's own search (which also
    # finds a library installed a moment ago, before its cache is rebuilt),
    # then ctypes' search.
    for name in (_SYSTEM_NAMES.get(sys.platform, "libqnapi.so.0"), ctypes.util.find_library("qnapi")):
        if name and name not in found:
            found.append(name)
    return found


class _DlInfo(Structure):
    _fields_ = [("fname", c_char_p), ("fbase", c_void_p), ("sname", c_char_p), ("saddr", c_void_p)]


def _file_of(library, name):
    """The file a library loaded by its bare name came from, so that
    library_path is always a path that tools (nm, a copy) can open."""
    if os.path.dirname(name) or sys.platform == "win32":
        return name
    try:
        dladdr = ctypes.CDLL(None).dladdr
    except (OSError, AttributeError):
        return name
    dladdr.argtypes = [c_void_p, POINTER(_DlInfo)]
    dladdr.restype = ctypes.c_int
    info = _DlInfo()
    try:
        found = dladdr(ctypes.cast(library.QNA_Open, c_void_p), ctypes.byref(info))
    except AttributeError:
        return name
    return os.path.abspath(os.fsdecode(info.fname)) if found and info.fname else name


def _load():
    candidates = _candidates()
    # 32-bit Windows builds use __stdcall; WinDLL is the default convention
    # elsewhere on Windows too.
    loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL
    tried = []
    named = bool(os.environ.get("QNAPI_LIBRARY"))
    if not named:
        here = os.path.dirname(os.path.abspath(__file__))
        tried.append("QNAPI_LIBRARY: not set")
        if not any(os.path.dirname(c) == here for c in candidates):
            tried.append("beside the package in %s: no library" % here)
    for path in candidates:
        try:
            library = loader(path)
            return library, _file_of(library, path)
        except OSError as e:
            where = ("QNAPI_LIBRARY=%s" if named else "%s" if os.path.dirname(path)
                     else "%s on the system's library path") % path
            tried.append("%s (%s)" % (where, e))
    raise ImportError("qnapi: the QNAPI library was not found.  Tried: " + "; ".join(tried) +
                      ".  Set QNAPI_LIBRARY to the path of libqnapi.so, or install the library "
                      "(apt install ./qnapi_*.deb, or cmake --install) where the system's "
                      "dynamic linker finds it")


lib, library_path = _load()


def _symbol(name):
    try:
        return getattr(lib, name)
    except AttributeError:
        # 32-bit Windows exports QNA_EntAppName only under its decorated name.
        if name == "QNA_EntAppName":
            return getattr(lib, "_QNA_EntAppName@4")
        raise


def _declare(name, restype, argtypes):
    function = _symbol(name)
    function.restype = restype
    function.argtypes = argtypes
    globals()[name] = function
    return function


for _name, (_restype, _argtypes) in PROTOTYPES.items():
    _declare(_name, _restype, _argtypes)

for _name, (_restype, _argtypes) in OPTIONAL_PROTOTYPES.items():
    try:
        _declare(_name, _restype, _argtypes)
    except AttributeError:
        globals()[_name] = None

for _name, _type in VARIABLES.items():
    globals()[_name] = _type.in_dll(lib, _name)

del _name, _restype, _argtypes, _type

