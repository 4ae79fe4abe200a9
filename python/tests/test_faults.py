"""Closed connections, a server that died, a write refused part-way: each
raises qnapi.Error and never takes the interpreter down."""

import threading
import unittest

import qnapi
from . import support

HOST = "127.0.0.1"

# Calls a closed connection of any kind refuses, by the binding's own check
# (50) before anything reaches the library: its id may be given out again,
# and the library's link may belong to another connection by now.
CLOSED_CALLS = [
    ("read", lambda c: c.read(1, 0, 1)),
    ("read_bits", lambda c: c.read_bits(0, 0, 1)),
    ("read_mux", lambda c: c.read_mux([(1, 0, 1)])),
    ("write", lambda c: c.write(1, 0, [1])),
    ("write_bits", lambda c: c.write_bits(0, 0, [1])),
    ("send_message", lambda c: c.send_message(1, b"x")),
    ("open_queue", lambda c: c.open_queue()),
    ("post_event", lambda c: c.post_event(1, 1)),
    ("read_mailbox", lambda c: c.read_mailbox("PY", 0, 1)),
]


class ClosedTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = support.Server(host=HOST, tcp=True)
        cls.addClassCleanup(cls.server.stop)

    def check_closed(self, connection):
        connection.close()
        connection.close()  # again: nothing happens
        self.assertTrue(connection.closed)
        for name, call in CLOSED_CALLS:
            with self.subTest(kind=connection.kind, call=name):
                support.raises(self, lambda: call(connection), qnapi.E_NOTOPEN, {0})

    def test_closed_connections(self):
        # connect() makes each kind from what it is given.
        self.check_closed(qnapi.connect("PYCLOSE"))
        pipe = qnapi.connect("PYCLOSE", host=HOST)
        tcp = qnapi.connect("PYCLOSE", port=self.server.port)
        self.assertEqual((pipe.kind, tcp.kind), ("pipe", "tcp"))
        queue = tcp.open_queue()
        self.check_closed(pipe)
        self.check_closed(tcp)
        # The connection's close closed its queue too.
        self.assertTrue(queue.closed)
        support.raises(self, lambda: queue.read(wait=False), qnapi.E_EVQ_HANDLE, {0})
        queue.close()  # closing again does nothing


class ServerDiedTest(unittest.TestCase):
    """The server is killed: requests raise an Error, and a thread waiting on
    a queue inside the library is let go."""

    def test_a_killed_server_ends_a_waiting_read_and_the_next_requests(self):
        with support.Server(host=HOST, tcp=True) as server:
            pipe = qnapi.Connection.pipe("PYDEAD", HOST)
            self.addCleanup(pipe.close)
            tcp = qnapi.Connection.tcp(HOST, server.port, "PYDEAD")
            self.addCleanup(tcp.close)
            queue = pipe.open_queue()
            outcome = []

            def reader():
                try:
                    outcome.append(queue.read(wait=True))
                except qnapi.Error as e:
                    outcome.append(e)
            # The read waits inside the library without the interpreter's lock.
            thread = threading.Thread(target=reader, daemon=True)
            thread.start()
            server.kill()
            thread.join(support.STOP_LIMIT)
            self.assertFalse(thread.is_alive(), "the queue's read did not end")
            support.assert_error(self, outcome[0], qnapi.E_EVQ_READ)
            for c in (pipe, tcp):
                for words in ([1, 2, 3], [4]):
                    with self.subTest(kind=c.kind, words=words):
                        with self.assertRaises(qnapi.Error) as caught:
                            c.write(1, 0, words)
                        self.assertIn(caught.exception.result, (qnapi.E_WRITE, qnapi.E_READ))


class PartWayTest(unittest.TestCase):
    def test_a_write_refused_part_way_says_how_much_was_written(self):
        # Requests count over the whole server: the TCP registration is the
        # first, the write's first piece of 16384 words the second, and the
        # second piece the third, which this server refuses.
        with support.Server("--cw", "65536", "--fault-refuse", "3", host=HOST, tcp=True) as server:
            with qnapi.Connection.tcp(HOST, server.port, "PYPART") as tcp:
                error = support.raises(self, lambda: tcp.write(1, 0, [7] * 40000), 99)
            self.assertEqual(error.written, 16384)
            self.assertIn("16384 of 40000 words were written", error.text)
            with qnapi.Connection.local("PYPART") as c:
                words = c.read(1, 0, 65536)
            self.assertEqual(words.count(7), 16384)
            self.assertEqual(words[16383:16385].tolist(), [7, 0])


if __name__ == "__main__":
    unittest.main()
