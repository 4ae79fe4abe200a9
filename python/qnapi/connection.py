"""Connections to a server: the local link (QNA_Open), pipe connections (the
N functions) and TCP connections (the S functions), with their event queues.

The library keeps one local link per process.  QNA_Open sets it, and
QNA_OpenN makes each new pipe connection's pipe the link, so that the
functions without a connection id (mailboxes, server writes, messages on the
link, information blocks, tags) talk to that connection's server.  This
module keeps the two apart so that no call goes to a server the caller did
not mean: a local connection and pipe connections are not open at once, and
the link functions of a pipe connection work only on the pipe connection
opened last, which holds the link.
"""

import ctypes
import operator
import struct
import threading
from array import array
from collections import namedtuple

from . import lowlevel as _ll
from . import tags as _tags
from .errors import ArgumentError, Error, data_bytes, flag, integer, text, u32

# Most words or bits that one call moves.  The library splits longer
# transfers itself; the cap keeps a mistyped count from making the binding
# allocate gigabytes before the library could refuse the range.  16 Mi words
# or bits is more than any area quonix serves holds (1 Mi words).
MAX_TRANSFER = 1 << 24

# Words and bits per library request.  The library splits longer writes
# itself and a refusal part-way leaves the earlier requests written; sending
# pieces of this size tells how much was written.
WORDS_PER_REQUEST = 16384
BITS_PER_REQUEST = 32768

NAME_LIMIT = 8      # application name: the registration record's 8 bytes
HOST_LIMIT = 15     # host name: 16 bytes with the terminator
CONTROL_TEXT_LIMIT = 127   # application control text fields: 128 bytes
EVQ_NAME_LIMIT = 11        # event queue name: 12 bytes
EVENT_DATA_LIMIT = 1 << 20  # the most data an event can carry
BODY_LIMIT = 1 << 20        # room for a received message body (quonix sends at most 64 KiB)

Message = namedtuple("Message", "word1 word2 body")
Message.__doc__ = ("A received message: the sender's header words 1 and 2 (quonix: its type "
                   "and reference) and the body bytes.")
Event = namedtuple("Event", "kind name value data")
Event.__doc__ = ("An event read from a queue: kind (quonix: 1 posted, 2 events dropped), "
                 "the poster's name, the value and the data bytes.")

# Process-wide bookkeeping of the library's link; guarded by _state_lock.
_state_lock = threading.Lock()
_local = None         # the open local connection
_pipes = set()        # open pipe connections
_link_holder = None   # the connection whose link the link functions use


def _detail():
    return _ll.QNA_InternalErr.value


def _call(name, *args):
    """Calls a library function that leaves its detail in QNA_InternalErr and
    raises Error on a result other than 0.  QNA_InternalErr is one variable
    for the whole process: with several threads calling, the detail of one
    failure may be another call's."""
    _ll.QNA_InternalErr.value = 0
    result = getattr(_ll, name)(*args)
    if result != 0:
        raise Error(result, _detail(), name)


def _words(function, name, values):
    if isinstance(values, int) and not isinstance(values, bool):
        values = [values]
    if isinstance(values, (str, bytes, bytearray)):
        raise ArgumentError(function, "%s must be a sequence of words, not %s"
                            % (name, type(values).__name__))
    try:
        words = array("H", values)
    except (TypeError, OverflowError, ValueError) as e:
        raise ArgumentError(function, "%s must hold integers 0..65535 (%s)" % (name, e)) from None
    if len(words) > MAX_TRANSFER:
        raise ArgumentError(function, "more than %d words" % MAX_TRANSFER)
    return words


def _bits(function, name, values):
    if isinstance(values, (bytes, bytearray, memoryview)):
        bits = bytes(values)
    else:
        if isinstance(values, (int, bool)):
            values = [values]
        if isinstance(values, str):
            raise ArgumentError(function, "%s must be a sequence of bits, not str" % name)
        try:
            bits = bytes(1 if operator.index(b) else 0 for b in values)
        except TypeError:
            raise ArgumentError(function, "%s must be a sequence of integers or bools"
                                % name) from None
    if len(bits) > MAX_TRANSFER:
        raise ArgumentError(function, "more than %d bits" % MAX_TRANSFER)
    return bits


def _count(function, count):
    count = u32(function, "count", count)
    if count > MAX_TRANSFER:
        raise ArgumentError(function, "count %d is above %d" % (count, MAX_TRANSFER))
    return count


def _u16_buffer(words):
    # Never a null or empty buffer: the library refuses a null pointer even
    # where the count is 0, so an empty sequence still gets one element.
    if not words:
        words = array("H", [0])
    return (ctypes.c_uint16 * len(words)).from_buffer(words)


def _u8_buffer(data):
    return (ctypes.c_uint8 * max(len(data), 1)).from_buffer_copy(data or b"\0")


def _u32_array(values):
    return (ctypes.c_uint32 * len(values))(*values)


class Connection:
    """A connection to a server.  Make one with Connection.local(),
    Connection.pipe() or Connection.tcp() (or qnapi.connect()), and use it as
    a context manager, or call close().

    kind: "local", "pipe" or "tcp"; id: the library's connection id (None for
    the local link)."""

    def __init__(self, kind, name, host="", conn_id=None):
        # Made by the class methods below, after the library opened, while
        # QNA_SizeTb holds what this connection's registration announced.
        self.area_sizes = tuple(_ll.QNA_SizeTb)
        self.kind = kind
        self.name = name
        self.host = host
        self.id = conn_id
        self.closed = False
        self._queues = set()
        self._tags_loaded = False

    # ---- opening and closing ------------------------------------------------

    @classmethod
    def local(cls, name="", first=0, second=0):
        """Opens the local link (QNA_Open): maps the data areas and registers
        under `name` (at most 8 characters)."""
        global _local, _link_holder
        function = "QNA_Open"
        record = _ll.QNA_REGREC(u32(function, "first", first), u32(function, "second", second),
                                text(function, "name", name, NAME_LIMIT))
        with _state_lock:
            if _local is not None or _pipes:
                raise Error(_ll.E_OPEN, 0, function,
                            "the library's link is taken: close the open local or pipe "
                            "connections first")
            _call(function, ctypes.byref(record))
            connection = cls("local", name)
            _local = _link_holder = connection
        return connection

    @classmethod
    def pipe(cls, name="", host="", first=0, second=0):
        """Opens a connection through the pipe of the server of `host`
        (QNA_OpenN); an empty host is the local server, whose data areas are
        mapped too.  The connection's pipe becomes the library's link."""
        global _link_holder
        function = "QNA_OpenN"
        params = _ll.QNA_CONNPARAM(u32(function, "first", first), u32(function, "second", second),
                                   text(function, "name", name, NAME_LIMIT),
                                   text(function, "host", host, HOST_LIMIT), 0, 0)
        conn_id = ctypes.c_uint32(0)
        with _state_lock:
            if _local is not None:
                raise Error(_ll.E_OPEN, 0, function,
                            "a pipe connection takes over the library's link: close the "
                            "local connection first")
            _call(function, ctypes.byref(params), ctypes.byref(conn_id))
            connection = cls("pipe", name, host, conn_id.value)
            _pipes.add(connection)
            _link_holder = connection
        return connection

    @classmethod
    def tcp(cls, host, port, name="", attempts=50, first=0, second=0):
        """Opens a connection to a server over TCP (QNA_OpenS), trying the
        connect `attempts` times 10 ms apart.  The library pauses one second
        after the connection is made."""
        function = "QNA_OpenS"
        host_bytes = text(function, "host", host, HOST_LIMIT, allow_empty=False)
        if b" " in host_bytes:
            # The library cuts the name at its first blank: refuse rather
            # than reach another machine.
            raise ArgumentError(function, "host holds a blank")
        params = _ll.QNA_CONNPARAM(u32(function, "first", first), u32(function, "second", second),
                                   text(function, "name", name, NAME_LIMIT), host_bytes,
                                   integer(function, "port", port, 0, 65535),
                                   integer(function, "attempts", attempts, -32768, 32767))
        conn_id = ctypes.c_uint32(0)
        with _state_lock:
            _call(function, ctypes.byref(params), ctypes.byref(conn_id))
        return cls("tcp", name, host, conn_id.value)

    def close(self):
        """Closes the connection and its event queues.  Closing again does
        nothing."""
        global _local, _link_holder
        with _state_lock:
            if self.closed:
                return
            self.closed = True
            for queue in list(self._queues):
                queue._forget()
            if self._tags_loaded:
                _ll.QNA_EndRavo()
            if self.kind == "local":
                _ll.QNA_Close()
                _local = None
            elif self.kind == "pipe":
                _ll.QNA_CloseN(self.id)
                _pipes.discard(self)
            else:
                _ll.QNA_CloseS(self.id)
            if _link_holder is self:
                _link_holder = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        where = {"local": "local link", "pipe": "pipe to %r" % (self.host or "."),
                 "tcp": "tcp to %r" % self.host}[self.kind]
        state = "closed" if self.closed else "open"
        ident = "" if self.id is None else " id %d" % self.id
        return "<qnapi.Connection %s%s %s>" % (where, ident, state)

    def register(self, name, first=0, second=0):
        """Registers the application again on the link, under `name`
        (QNA_EntAppName); the area sizes come anew with the reply."""
        function = "QNA_EntAppName"
        self._link(function)
        record = _ll.QNA_REGREC(u32(function, "first", first), u32(function, "second", second),
                                text(function, "name", name, NAME_LIMIT))
        _call(function, ctypes.byref(record))
        self.name = name
        self.area_sizes = tuple(_ll.QNA_SizeTb)

    # ---- guards -------------------------------------------------------------

    def _open(self, function):
        if self.closed:
            raise Error(_ll.E_NOTOPEN, 0, function, "the connection is closed")

    def _link(self, function):
        """For the functions that go over the library's link."""
        self._open(function)
        if self.kind == "tcp":
            raise Error(_ll.E_NOTOPEN, 0, function, "a TCP connection has no link for this "
                        "request; use a local or pipe connection")
        if _link_holder is not self:
            raise Error(_ll.E_NOTOPEN, 0, function, "this connection no longer holds the "
                        "library's link: a later pipe connection took it over")

    def _with_id(self, function):
        """For the functions that take a connection id."""
        self._open(function)
        if self.kind == "local":
            raise Error(_ll.E_NOCONN, 0, function, "the local link has no connection id; "
                        "open a pipe or TCP connection")

    def _pick(self, local, pipe, tcp):
        return {"local": local, "pipe": pipe, "tcp": tcp}[self.kind]

    def _check_range(self, function, area, start, count, bits, nothing):
        """Refuses a range that does not fit in the area as the server
        announced it (area_sizes), before anything is allocated or sent: the
        server would refuse a long write only part-way through."""
        size = self.area_sizes[area] if area < len(self.area_sizes) else 0
        limit = 16 * size if bits else size
        if start < limit and count <= limit - start:
            return
        raise ArgumentError(function, "%s %d..%d of area %d do not fit: it holds %d words; %s"
                            % ("bits" if bits else "words", start, start + count - 1, area, size,
                               nothing))

    def _send(self, function, start, count, per_request, send, unit):
        """Sends a write in pieces of one library request each; a piece that
        fails raises an Error that says how much was written before it
        (its .written: the words or bits written)."""
        done = 0
        while True:
            n = min(per_request, count - done)
            try:
                send(start + done, done, n)
            except Error as e:
                explanation = ("%d of %d %s were written (from %d), the rest not"
                               % (done, count, unit, start) if done else "nothing written")
                error = Error(e.result, e.detail, function, explanation)
                error.written = done
                raise error from None
            done += n
            if done >= count:
                return

    # ---- data areas ---------------------------------------------------------

    def read(self, area, start, count, no_lock=False):
        """Reads `count` words of an area from word `start`: an array('H')."""
        function = self._pick("QNA_Read", "QNA_ReadN", "QNA_ReadS")
        self._open(function)
        area, start = u32(function, "area", area), u32(function, "start", start)
        count, no_lock = _count(function, count), flag(function, "no_lock", no_lock)
        if count:
            self._check_range(function, area, start, count, False, "nothing read")
        words = array("H", bytes(2 * max(count, 1)))
        buffer = _u16_buffer(words)
        args = (area, start, count, buffer, no_lock)
        _call(function, *(args if self.kind == "local" else args + (self.id,)))
        del buffer  # releases the array for the caller
        return words if count else array("H")

    def read_word(self, area, offset, no_lock=False):
        """Reads one word: an int."""
        return self.read(area, offset, 1, no_lock)[0]

    def read_bits(self, area, start, count, no_lock=False):
        """Reads `count` bits from bit number `start`: bytes of 0 or 1, one
        per bit."""
        function = self._pick("QNA_ReadBit", "QNA_ReadBitN", "QNA_ReadBitS")
        self._open(function)
        area, start = u32(function, "area", area), u32(function, "start", start)
        count, no_lock = _count(function, count), flag(function, "no_lock", no_lock)
        if count:
            self._check_range(function, area, start, count, True, "nothing read")
        buffer = (ctypes.c_uint8 * max(count, 1))()
        args = (area, start, count, buffer, no_lock)
        _call(function, *(args if self.kind == "local" else args + (self.id,)))
        return bytes(buffer)[:count]

    def read_bit(self, area, bit, no_lock=False):
        """Reads one bit: 0 or 1."""
        return self.read_bits(area, bit, 1, no_lock)[0]

    def read_mux(self, ranges):
        """Reads several word ranges, each (area, start, count), in one call:
        an array('H') with the ranges' words one after another."""
        function = self._pick("QNA_ReadMux", "QNA_ReadMuxN", "QNA_ReadMuxS")
        self._open(function)
        try:
            ranges = [tuple(r) for r in ranges]
        except TypeError:
            raise ArgumentError(function, "ranges must be (area, start, count) tuples") from None
        if not ranges or any(len(r) != 3 for r in ranges):
            raise ArgumentError(function, "ranges must be one or more (area, start, count)")
        areas = [u32(function, "area", r[0]) for r in ranges]
        starts = [u32(function, "start", r[1]) for r in ranges]
        counts = [u32(function, "count", r[2]) for r in ranges]
        total = sum(counts)
        if total > MAX_TRANSFER:
            raise ArgumentError(function, "more than %d words in all" % MAX_TRANSFER)
        for area, start, count in zip(areas, starts, counts):
            if count:
                self._check_range(function, area, start, count, False, "nothing read")
        words = array("H", bytes(2 * max(total, 1)))
        buffer = _u16_buffer(words)
        args = (len(ranges), _u32_array(areas), _u32_array(starts), _u32_array(counts), buffer)
        _call(function, *(args if self.kind == "local" else args + (self.id,)))
        del buffer
        return words if total else array("H")

    def write(self, area, start, words, no_reply=False):
        """Has the server write words (a sequence of ints, or one int) from
        word `start`.  With no_reply the call returns once the request is
        sent."""
        function = self._pick("QNA_Write", "QNA_WriteN", "QNA_WriteS")
        self._open(function)
        if self.kind == "local":
            self._link(function)
        area, start = u32(function, "area", area), u32(function, "start", start)
        data = _words(function, "words", words)
        options = flag(function, "no_reply", no_reply)
        if data:
            self._check_range(function, area, start, len(data), False, "nothing written")
        buffer = _u16_buffer(data)

        def send(at, done, n):
            piece = (ctypes.c_uint16 * max(n, 1)).from_buffer(buffer, 2 * done)
            args = (area, at, n, piece, options)
            _call(function, *(args if self.kind == "local" else args + (self.id,)))
        self._send(function, start, len(data), WORDS_PER_REQUEST, send, "words")

    def write_bits(self, area, start, bits, no_reply=False):
        """Has the server set (nonzero) or clear (0) bits from bit number
        `start`: a sequence of ints or bools, bytes, or one value."""
        function = self._pick("QNA_WriteBit", "QNA_WriteBitN", "QNA_WriteBitS")
        self._open(function)
        if self.kind == "local":
            self._link(function)
        area, start = u32(function, "area", area), u32(function, "start", start)
        data = _bits(function, "bits", bits)
        options = flag(function, "no_reply", no_reply)
        if data:
            self._check_range(function, area, start, len(data), True, "nothing written")

        def send(at, done, n):
            args = (area, at, n, _u8_buffer(data[done:done + n]), options)
            _call(function, *(args if self.kind == "local" else args + (self.id,)))
        self._send(function, start, len(data), BITS_PER_REQUEST, send, "bits")

    def write_masked(self, area, offset, data, mask, no_reply=False):
        """Masked write through the server (QNA_WriteWithFlag).  Bit areas (0,
        2): `offset` is a bit number, `data` and `mask` hold count/16 words
        each, count being a multiple of 16 bits.  Word areas: `data` holds
        count words (a multiple of 16) and `mask` count/16 words, bit j of the
        mask choosing word j."""
        function = "QNA_WriteWithFlag"
        self._link(function)
        area, offset = u32(function, "area", area), u32(function, "offset", offset)
        data = _words(function, "data", data)
        mask = _words(function, "mask", mask)
        if area in (0, 2):
            count = 16 * len(data)
            if len(mask) != len(data):
                raise ArgumentError(function, "a bit area needs as many mask words as data words")
        else:
            count = len(data)
            if count % 16 or len(mask) != count // 16:
                raise ArgumentError(function, "a word area needs a multiple of 16 data words "
                                    "and one mask word for each 16")
        self._check_range(function, area, offset, count, area in (0, 2), "nothing written")
        _call(function, area, offset, count, _u16_buffer(data), _u16_buffer(mask),
              flag(function, "no_reply", no_reply))

    def write_direct(self, area, offset, words, no_lock=False):
        """Copies words straight into the mapped area (QNA_WriteSmem), not
        through the server."""
        function = "QNA_WriteSmem"
        self._local_only(function)
        area, offset = u32(function, "area", area), u32(function, "offset", offset)
        data = _words(function, "words", words)
        if data:
            self._check_range(function, area, offset, len(data), False, "nothing written")
        _call(function, area, offset, len(data), _u16_buffer(data),
              flag(function, "no_lock", no_lock))

    def write_direct_bits(self, area, bit, bits, no_lock=False):
        """Sets or clears bits straight in the mapped area (QNA_WriteSmemBit)."""
        function = "QNA_WriteSmemBit"
        self._local_only(function)
        area, bit = u32(function, "area", area), u32(function, "bit", bit)
        data = _bits(function, "bits", bits)
        if data:
            self._check_range(function, area, bit, len(data), True, "nothing written")
        _call(function, area, bit, len(data), _u8_buffer(data), flag(function, "no_lock", no_lock))

    def _local_only(self, function):
        self._open(function)
        if self.kind != "local":
            raise Error(_ll.E_NOTOPEN, 0, function, "only the local connection writes the "
                        "mapped areas directly")

    # ---- mailboxes ----------------------------------------------------------

    def read_mailbox(self, application, index, count):
        """Reads `count` words of an application's mailbox: an array('H')."""
        function = "QNA_ReadApp"
        self._link(function)
        name = text(function, "application", application, NAME_LIMIT)
        index, count = u32(function, "index", index), _count(function, count)
        words = array("H", bytes(2 * max(count, 1)))
        buffer = _u16_buffer(words)
        _call(function, name, index, count, buffer)
        del buffer  # releases the array for the caller
        return words if count else array("H")

    def write_mailbox(self, application, index, words, no_reply=False):
        """Writes words into an application's mailbox from `index`."""
        function = "QNA_WriteApp"
        self._link(function)
        name = text(function, "application", application, NAME_LIMIT)
        index = u32(function, "index", index)
        data = _words(function, "words", words)
        _call(function, name, index, len(data), _u16_buffer(data),
              flag(function, "no_reply", no_reply))

    # ---- messages -----------------------------------------------------------

    def send_message(self, channel, body=b"", word1=0, word2=0, word3=0, no_reply=False):
        """Sends a message to a channel: three header words (quonix: type,
        reference, priority with 0 normal) and a body of bytes."""
        function = self._pick("QNA_SendMsg", "QNA_SendMsgN", "QNA_SendMsgS")
        self._open(function)
        if self.kind == "local":
            self._link(function)
        data = data_bytes(function, "body", body)
        args = (u32(function, "channel", channel), u32(function, "word1", word1),
                u32(function, "word2", word2), u32(function, "word3", word3),
                len(data), data if data else None, flag(function, "no_reply", no_reply))
        _call(function, *(args if self.kind == "local" else args + (self.id,)))

    def receive_message(self, channel, capacity=65536, wait_ms=0):
        """Receives the next message of a channel, taking a body of at most
        `capacity` bytes; the server waits at most `wait_ms` (0 to 65535) for
        one.  Returns a Message; no message raises Error with the server's
        result (quonix: 20)."""
        function = self._pick("QNA_RecvMsg", "QNA_RecvMsgN", None)
        if function is None:
            self._open("QNA_RecvMsg")
            raise Error(_ll.E_NOTOPEN, 0, "QNA_RecvMsg", "the library receives messages over "
                        "the local link or a pipe connection, not over TCP")
        self._open(function)
        if self.kind == "local":
            self._link(function)
        channel = u32(function, "channel", channel)
        capacity = integer(function, "capacity", capacity, 0, BODY_LIMIT)
        option = integer(function, "wait_ms", wait_ms, 0, 0xFFFF)
        word1, word2 = ctypes.c_uint32(0), ctypes.c_uint32(0)
        length = ctypes.c_uint32(capacity)
        buffer = (ctypes.c_uint8 * max(capacity, 1))()
        args = (channel, ctypes.byref(word1), ctypes.byref(word2), ctypes.byref(length),
                buffer, option)
        _call(function, *(args if self.kind == "local" else args + (self.id,)))
        received = min(length.value, capacity)
        return Message(word1.value, word2.value, bytes(buffer)[:received])

    # ---- information blocks -------------------------------------------------

    def server_info(self):
        """The server information block (448 bytes)."""
        function = "QNA_ReadCmInfo"
        self._link(function)
        buffer = ctypes.create_string_buffer(_ll.CMINFO_SIZE)
        _call(function, buffer)
        return buffer.raw

    def applications_info(self):
        """The application information block (512 bytes)."""
        function = "QNA_ReadAppInfo"
        self._link(function)
        buffer = ctypes.create_string_buffer(_ll.APPINFO_SIZE)
        _call(function, buffer)
        return buffer.raw

    # ---- tags ---------------------------------------------------------------

    def load_tags(self):
        """Loads the tag file of the project the server names (QNA_InitRavo).
        The tags stay loaded until unload_tags() or close()."""
        function = "QNA_InitRavo"
        self._link(function)
        self._tags_loaded = True
        _call(function)

    def unload_tags(self):
        """Releases the tag file (QNA_EndRavo)."""
        if self._tags_loaded:
            _ll.QNA_EndRavo()
            self._tags_loaded = False

    @staticmethod
    def _tag_name(function, name):
        # The library upper-cases the name in place: hand it a copy.
        return ctypes.create_string_buffer(text(function, "name", name, 255))

    def read_tag(self, name, no_lock=False):
        """Reads a tag by name: an int (0 or 1 for a bit, a sign-extended word,
        or a double word)."""
        function = "QNA_ReadTag"
        self._link(function)
        value = ctypes.c_int32(0)
        _call(function, self._tag_name(function, name), ctypes.byref(value),
              flag(function, "no_lock", no_lock))
        return value.value

    def write_tag(self, name, value, no_reply=False):
        """Writes a tag by name through the server.  A bit tag takes 0 or 1,
        a word tag -32768 to 65535, a double-word tag a 32-bit value
        (-2**31 to 2**32 - 1); any other value is refused before sending,
        since the library would store its low bits only."""
        function = "QNA_WriteTag"
        self._link(function)
        value = integer(function, "value", value, -0x80000000, 0xFFFFFFFF)
        no_reply = flag(function, "no_reply", no_reply)
        buffer = self._tag_name(function, name)
        if not self._tags_loaded:
            raise Error(_ll.E_TAG_NOTLOADED, 6010, function, "call load_tags() first")
        tag = self._tag_type(function, buffer.value)
        if tag is None:
            # The library's own lookup says why (a system name, no such tag);
            # a tag it finds and this one does not is not written unchecked.
            self.read_tag(name)
            raise Error(_ll.E_TAG_NOTFOUND, 0, function, "the type of tag %r could not be read from "
                        "the tag file; nothing written" % (name,))
        low, high = _tags.RANGES[tag.type]
        if not low <= value <= high:
            raise ArgumentError(function, "tag %s (%s %s) takes %d to %d, not %d; nothing written"
                                % (tag.name, tag.type, tag.address, low, high, value))
        signed = value - (1 << 32) if value > 0x7FFFFFFF else value
        _call(function, buffer, signed, no_reply)

    def _tag_type(self, function, name):
        """The tag the tag file of the server's project holds for `name`
        (bytes), or None."""
        mailbox = self.read_mailbox("RAVOWLD", 0, 576)
        paths = _tags.project_path(struct.pack("<%dH" % len(mailbox), *mailbox))
        if paths is None:
            return None
        try:
            return _tags.find(paths[1], name)
        except OSError as e:
            raise Error(_ll.E_TAG_OPEN, 0, function, "the tag file %s cannot be read (%s); nothing "
                        "written" % (paths[1], e.strerror)) from None

    # ---- application control ------------------------------------------------

    def _control(self, function):
        self._with_id(function)
        if self.kind != "pipe":
            raise Error(_ll.E_NOCONN, 0, function, "application control goes over a pipe "
                        "connection")

    def start_app(self, program, arguments="", directory="", name="", show=0, delay_ms=0):
        """Asks the server to start a program; returns the request id."""
        function = "QNA_StartAPP"
        self._control(function)
        texts = [text(function, n, v, CONTROL_TEXT_LIMIT) for n, v in
                 (("program", program), ("arguments", arguments),
                  ("directory", directory), ("name", name))]
        request = ctypes.c_uint32(0)
        _call(function, self.id, *texts, u32(function, "show", show),
              u32(function, "delay_ms", delay_ms), 0, 0, ctypes.byref(request))
        return request.value

    def close_app(self, name, delay_ms=0):
        """Asks the server to have an application end; returns the request id."""
        return self._named_request("QNA_SendCloseMsg", name, delay_ms)

    def raise_app(self, name, delay_ms=0):
        """Asks the server to bring an application's window to the top
        (QNA_WinTop); returns the request id."""
        return self._named_request("QNA_WinTop", name, delay_ms)

    def _named_request(self, function, name, delay_ms):
        self._control(function)
        name = text(function, "name", name, CONTROL_TEXT_LIMIT)
        request = ctypes.c_uint32(0)
        _call(function, self.id, name, u32(function, "delay_ms", delay_ms), 0, 0,
              ctypes.byref(request), 0)
        return request.value

    def request_status(self, request_id):
        """The status of an earlier request (quonix: 1 pending, 2 running,
        3 done, 4 failed, 5 cancelled)."""
        function = "QNA_GetReqStatus"
        self._control(function)
        status = ctypes.c_uint32(0)
        _call(function, self.id, u32(function, "request_id", request_id), ctypes.byref(status))
        return status.value

    def cancel_request(self, request_id):
        """Cancels an earlier request that is still pending."""
        function = "QNA_CancelReq"
        self._control(function)
        _call(function, self.id, u32(function, "request_id", request_id))

    # ---- event queues -------------------------------------------------------

    def open_queue(self, number=_ll.EVQ_ANY, name=None, option=0):
        """Opens an event queue by number (default: any the server gives) and
        optional name (at most 11 characters): an EventQueue."""
        function = "QNA_OpenEvQueue"
        self._with_id(function)
        number = u32(function, "number", number)
        name = text(function, "name", name, EVQ_NAME_LIMIT, allow_none=True)
        assigned, handle = ctypes.c_uint32(0), ctypes.c_uint32(0)
        _call(function, self.id, number, ctypes.byref(assigned), name, ctypes.byref(handle),
              u32(function, "option", option))
        queue = EventQueue(self, handle.value, assigned.value)
        with _state_lock:
            self._queues.add(queue)
        return queue

    def post_event(self, queue, value=0, data=b""):
        """Posts an event to a queue by its number."""
        function = "QNA_WriteEvQueue"
        self._with_id(function)
        queue = u32(function, "queue", queue)
        data = data_bytes(function, "data", data)
        if len(data) > EVENT_DATA_LIMIT:
            raise ArgumentError(function, "data longer than %d bytes" % EVENT_DATA_LIMIT)
        buffer = ctypes.create_string_buffer(data, max(len(data), 1))
        event = _ll.QNA_EVENT(u32(function, "value", value), len(data),
                              ctypes.cast(buffer, ctypes.c_void_p) if data else None)
        _call(function, self.id, queue, ctypes.byref(event))

    def max_queues(self):
        """How many event queues the server has."""
        function = "QNA_GetMaxEvQueueNum"
        self._with_id(function)
        count = ctypes.c_uint32(0)
        _call(function, self.id, ctypes.byref(count))
        return count.value

    def usable_queues(self):
        """The numbers of the queues that nobody has open."""
        return self._queue_list("QNA_GetUsableEvQueueNum", ())

    def used_queues(self):
        """The numbers of the queues open somewhere."""
        return self._queue_list("QNA_GetUsedEvQueueNum", ())

    def named_queues(self, name=None):
        """The numbers of the queues bearing `name` (None: any name)."""
        function = "QNA_GetNamedEvQueueNum"
        return self._queue_list(function, (text(function, "name", name, EVQ_NAME_LIMIT,
                                                allow_none=True),))

    def _queue_list(self, function, leading):
        self._with_id(function)
        room = 64
        for _ in range(3):
            count = ctypes.c_uint32(0)
            entries = (ctypes.c_uint32 * room)()
            _call(function, self.id, *leading, ctypes.byref(count), entries, room)
            if count.value <= room:
                break
            # More queues than room: ask again with room for all of them.
            room = min(count.value, MAX_TRANSFER)
        return list(entries[:min(count.value, room)])

    def queue_name(self, number):
        """A queue's name (at most its first 8 characters); '' for none."""
        function = "QNA_GetEvQueueName"
        self._with_id(function)
        buffer = ctypes.create_string_buffer(16)
        _call(function, self.id, u32(function, "number", number), buffer)
        return buffer.value.decode("latin-1")


class EventQueue:
    """An open event queue.  Iterating over it yields the events waiting now
    and stops when none is left; events(wait=True) waits for each next one.
    Use it as a context manager, or call close()."""

    def __init__(self, connection, handle, number):
        self.connection = connection
        self.handle = handle
        self.number = number
        self.closed = False
        self._lock = threading.Lock()
        self._data = None   # the data buffer, made at the first read

    def close(self):
        """Closes the queue.  Closing again does nothing."""
        with _state_lock:
            if self.closed:
                return
            self._forget()
        _call("QNA_CloseEvQueue", self.handle, 0)

    def _forget(self):
        # Under _state_lock.  A connection's close closes its queues itself.
        self.closed = True
        self.connection._queues.discard(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return "<qnapi.EventQueue %d handle %d %s>" % (
            self.number, self.handle, "closed" if self.closed else "open")

    def read(self, wait=True):
        """The next event: an Event.  Without `wait`, None when no event is
        waiting.  A read that waits ends only when an event comes or the
        queue's pipe fails."""
        function = "QNA_ReadEvQueue"
        if self.closed:
            raise Error(_ll.E_EVQ_HANDLE, 0, function, "the event queue is closed")
        # An event whose data do not fit the buffer is lost, so the buffer
        # holds the largest event there is.  One byte more tells "no data"
        # (the library then leaves the length as given) from a full buffer.
        capacity = EVENT_DATA_LIMIT + 1
        with self._lock:
            if self._data is None:
                self._data = ctypes.create_string_buffer(capacity)
            kind = ctypes.c_uint16(0)
            name = ctypes.create_string_buffer(33)
            event = _ll.QNA_EVENT(0, capacity, ctypes.cast(self._data, ctypes.c_void_p))
            _ll.QNA_InternalErr.value = 0
            result = _ll.QNA_ReadEvQueue(self.handle, ctypes.byref(kind), name,
                                         ctypes.byref(event), 0 if wait else _ll.EVQ_NOWAIT)
            if result == _ll.E_EVQ_EMPTY and not wait:
                return None
            if result != 0:
                raise Error(result, _detail(), function)
            length = 0 if event.length >= capacity else event.length
            data = ctypes.string_at(self._data, length)
        return Event(kind.value, name.value.decode("latin-1"), event.value, data)

    def events(self, wait=True):
        """Yields events one after another; with wait, for ever."""
        while True:
            event = self.read(wait)
            if event is None:
                return
            yield event

    def __iter__(self):
        return self.events(wait=False)


def connect(name="", host=None, port=None, **options):
    """Opens a connection: with a port, over TCP to `host`; with a host and no
    port, through the host's pipe; with neither, the local link."""
    if port is not None:
        return Connection.tcp(host if host is not None else "127.0.0.1", port, name, **options)
    if host is not None:
        return Connection.pipe(name, host, **options)
    return Connection.local(name, **options)
