"""Arguments the binding refuses before the library is called: values that
would not fit their C type (ctypes would cut them silently, and the call
would reach another area, port or queue), wrong types, and lengths the C
fields cannot hold.  Each raises ArgumentError with result 6 (305 for
comment files) and leaves everything as it was."""

import unittest
from array import array

import qnapi
from . import support

HOST = "127.0.0.1"
BIG = 1 << 32

# (what, call) with no connection.
OPEN_CASES = [
    ("tcp port above 65535", lambda: qnapi.Connection.tcp(HOST, 65536 + 5021)),
    ("tcp attempts beyond int16", lambda: qnapi.Connection.tcp(HOST, 1, attempts=40000)),
    ("tcp host with a blank", lambda: qnapi.Connection.tcp("plant1 x", 1)),
    ("host of 16 characters", lambda: qnapi.Connection.pipe("PY", "h" * 16)),
    ("name of 9 characters", lambda: qnapi.Connection.local("NINECHARS")),
    ("name with a NUL", lambda: qnapi.Connection.local("A\0B")),
    ("second word 2^32", lambda: qnapi.Connection.local("PY", second=BIG)),
    ("server name of 32", lambda: setattr(qnapi.settings, "server_name", "s" * 32)),
    ("time-out 2^32", lambda: setattr(qnapi.settings, "area_timeout", BIG)),
    ("sleep negative", lambda: qnapi.sleep(-1)),
    ("window pattern None", lambda: qnapi.find_window(None)),
    ("window match unknown", lambda: qnapi.find_window("x", match="exact")),
    ("launcher directory with NUL", lambda: qnapi.start_server("a\0b")),
    ("comment user empty", lambda: qnapi.CommentFile.open("")),
    ("comment drive a digit", lambda: qnapi.CommentFile.create("u", 16, 16, drive="1")),
    ("comment words beyond int32", lambda: qnapi.CommentFile.create("u", BIG, 16)),
]

# (what, call on an open connection) for every kind.
CONNECTION_CASES = [
    ("area 2^32 + 1", lambda c: c.read(BIG + 1, 0, 1)),
    ("start 2^32", lambda c: c.write(1, BIG, [1])),
    ("count 2^32", lambda c: c.read(1, 0, BIG)),
    ("count above the cap", lambda c: c.read_bits(0, 0, qnapi.MAX_TRANSFER + 1)),
    ("area a float", lambda c: c.read(1.0, 0, 1)),
    ("area True", lambda c: c.read(True, 0, 1)),
    ("word 65536", lambda c: c.write(1, 0, [1, 65536])),
    ("words a string", lambda c: c.write(1, 0, "12")),
    ("bits a string", lambda c: c.write_bits(0, 0, "101")),
    ("mux without ranges", lambda c: c.read_mux([])),
    ("mux total above the cap", lambda c: c.read_mux([(1, 0, qnapi.MAX_TRANSFER), (1, 0, 1)])),
    ("channel negative", lambda c: c.send_message(-1)),
    ("body a string", lambda c: c.send_message(1, "text")),
]

QUEUE_CASES = [
    ("queue name of 12", lambda c: c.open_queue(name="TWELVE_CHARS")),
    ("queue number 2^32", lambda c: c.open_queue(BIG)),
    ("event data above 1 MiB", lambda c: c.post_event(1, 0, bytes((1 << 20) + 1))),
    ("event value 2^32", lambda c: c.post_event(1, BIG)),
    ("named list name of 12", lambda c: c.named_queues("TWELVE_CHARS")),
]

LINK_CASES = [
    ("wait above 65535", lambda c: c.receive_message(1, wait_ms=70000)),
    ("mailbox name of 9", lambda c: c.write_mailbox("NINECHARS", 0, [1])),
    ("tag value beyond 32 bits", lambda c: c.write_tag("X", 1 << 32)),
    ("tag name not a string", lambda c: c.read_tag(5)),
    ("masked write of 15 words", lambda c: c.write_masked(1, 0, [1] * 15, [1])),
    ("masked bits without mask", lambda c: c.write_masked(0, 0, [1, 2], [1])),
]

CONTROL_CASES = [
    ("program of 128 characters", lambda c: c.start_app("p" * 128)),
    ("delay negative", lambda c: c.raise_app("APP", delay_ms=-1)),
    ("request id 2^32", lambda c: c.cancel_request(BIG)),
]


class ArgumentTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = support.Server(host=HOST, tcp=True)
        cls.addClassCleanup(cls.server.stop)
        cls.tcp = qnapi.Connection.tcp(HOST, cls.server.port, "PYARGS")
        cls.addClassCleanup(cls.tcp.close)

    def refused(self, call, result=qnapi.E_ARG):
        error = support.raises(self, call, result, {0}, qnapi.ArgumentError)
        self.assertIsInstance(error, ValueError)

    def test_refused_without_a_connection(self):
        timeouts = (qnapi.settings.area_timeout, qnapi.settings.request_timeout)
        for what, call in OPEN_CASES:
            with self.subTest(what):
                self.refused(call, qnapi.E_CMNT_ARG if "drive" in what else qnapi.E_ARG)
        self.assertEqual((qnapi.settings.area_timeout, qnapi.settings.request_timeout), timeouts)
        self.assertEqual(qnapi.settings.server_name, "")
        # Nothing was left open: the local link opens now.
        with qnapi.Connection.local("PYARGS") as c:
            c.write(1, 0, [1])

    def test_refused_on_each_connection(self):
        for kind in ("local", "pipe", "tcp"):
            c = (self.tcp if kind == "tcp" else
                 qnapi.Connection.local("PYARGS") if kind == "local" else
                 qnapi.Connection.pipe("PYARGS", HOST))
            try:
                c.write(1, 0, [11, 12])
                c.write(0, 0, [0])
                cases = CONNECTION_CASES + (LINK_CASES if kind != "tcp" else [])
                cases += QUEUE_CASES if kind != "local" else []
                cases += CONTROL_CASES if kind == "pipe" else []
                for what, call in cases:
                    with self.subTest(kind=kind, case=what):
                        self.refused(lambda: call(c))
                # Nothing reached the areas: no value was cut to a valid one.
                self.assertEqual(c.read(1, 0, 2), array("H", [11, 12]))
                self.assertEqual(c.read(0, 0, 1), array("H", [0]))
            finally:
                if c is not self.tcp:
                    c.close()

    def test_accepted_forms(self):
        # What the checks let through: every kind of integer sequence and bytes.
        c = self.tcp
        c.write(1, 0, array("H", [1, 2]))
        c.write(1, 2, range(3, 5))
        c.write(1, 4, 5)
        c.write(1, 5, (w for w in [6]))
        self.assertEqual(c.read(1, 0, 6), array("H", [1, 2, 3, 4, 5, 6]))
        c.write_bits(0, 0, [True, False, 2])
        c.write_bits(0, 3, bytearray(b"\x01"))
        self.assertEqual(c.read_bits(0, 0, 4), b"\x01\x00\x01\x01")
        c.post_event(1, 5, memoryview(b"abc"))
        c.send_message(1, array("H", [1]), no_reply=True)


if __name__ == "__main__":
    unittest.main()
