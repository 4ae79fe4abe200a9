"""The one exception of the package, the result texts, and the argument
checks that keep every value the library is given within its C type."""

import ctypes
import operator
import os

from . import lowlevel as _ll

_TEXT_ROOM = 256


def result_text(result, detail=0):
    """One line that says what a result code and its detail code mean.

    Uses the library's QNA_ResultText; a library built without it gives the
    plain "result R, detail D"."""
    result = int(result) & 0xFFFFFFFF
    detail = int(detail)
    if not -0x80000000 <= detail <= 0x7FFFFFFF:
        detail = 0
    function = _ll.QNA_ResultText
    if function is None:
        return "result %d, detail %d" % (result, detail)
    buffer = ctypes.create_string_buffer(_TEXT_ROOM)
    length = function(result, detail, buffer, _TEXT_ROOM)
    if length >= _TEXT_ROOM:
        # Like snprintf, the library returns the whole length: ask again with
        # room for all of it.
        buffer = ctypes.create_string_buffer(length + 1)
        function(result, detail, buffer, length + 1)
    return buffer.value.decode("utf-8", "replace")


class Error(Exception):
    """A call that did not succeed.

    result: the library's result code (qnapi.E_* constants);
    detail: the detail code (QNA_InternalErr after the call, or the function's
            own detail output; 0 where the function leaves none);
    function: the library function or operation that failed;
    text: what the codes mean, with any explanation the binding adds;
    written: for a write that failed part-way, the words or bits written
             before it (the binding sends a long write in pieces); else None."""

    def __init__(self, result, detail=0, function="", explanation=""):
        self.result = result
        self.detail = detail
        self.function = function
        self.written = None
        text = result_text(result, detail)
        if explanation:
            text = "%s (%s)" % (explanation, text)
        self.text = text
        super().__init__("%s: %s" % (function, text) if function else text)


class ArgumentError(Error, ValueError, TypeError):
    """An argument refused before the library is called, with result 6
    (QNA_E_ARG) as the library gives for a bad argument, or the family's own
    argument code (305 for comment files).  It is a ValueError and a
    TypeError as well, so that code written for either catches it."""

    def __init__(self, function, explanation, result=_ll.E_ARG):
        super().__init__(result, 0, function, explanation)


# Argument checks.  Each returns the value in the form the call needs and
# raises ArgumentError naming the function and the argument.

def integer(function, name, value, low, high):
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise ArgumentError(function, "%s must be an integer, not %s" % (name, type(value).__name__))
    value = operator.index(value)
    if not low <= value <= high:
        raise ArgumentError(function, "%s %d is outside %d..%d" % (name, value, low, high))
    return value


def u32(function, name, value):
    return integer(function, name, value, 0, 0xFFFFFFFF)


def i32(function, name, value):
    return integer(function, name, value, -0x80000000, 0x7FFFFFFF)


def flag(function, name, value):
    if not isinstance(value, (bool, int)):
        raise ArgumentError(function, "%s must be true or false" % name)
    return 1 if value else 0


def text(function, name, value, limit, allow_none=False, allow_empty=True):
    """A string or bytes for a char* argument: no NUL inside, at most `limit`
    bytes (the room of the C field less its terminator)."""
    if value is None and allow_none:
        return None
    if isinstance(value, str):
        data = os.fsencode(value)
    elif isinstance(value, (bytes, bytearray)):
        data = bytes(value)
    else:
        raise ArgumentError(function, "%s must be a string, not %s" % (name, type(value).__name__))
    if b"\0" in data:
        raise ArgumentError(function, "%s holds a NUL character" % name)
    if len(data) > limit:
        raise ArgumentError(function, "%s is longer than %d characters" % (name, limit))
    if not data and not allow_empty:
        raise ArgumentError(function, "%s is empty" % name)
    return data


def data_bytes(function, name, value):
    """Bytes-like data (bytes, bytearray, memoryview, array...)."""
    if isinstance(value, str):
        raise ArgumentError(function, "%s must be bytes, not str (encode it first)" % name)
    try:
        data = bytes(memoryview(value).cast("B"))
    except TypeError:
        raise ArgumentError(function, "%s must be bytes-like, not %s"
                            % (name, type(value).__name__)) from None
    if len(data) > 0xFFFFFFFF:
        raise ArgumentError(function, "%s is longer than 4 GiB" % name)
    return data
