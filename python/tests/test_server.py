"""The package against a stand-in server over the local link, a host pipe and
TCP: data, messages, event queues, and what only the link or a pipe
connection offers."""

import os
import subprocess
import sys
import threading
import unittest
from array import array

import qnapi
from . import support

HOST = "127.0.0.1"  # the server's host pipe; TCP connections find their queues' pipes there


class TransportCases:
    """Cases run over each of `self.connections` (kind: connection)."""

    def test_words_and_bits_round_trip(self):
        for i, (kind, c) in enumerate(self.connections.items()):
            with self.subTest(kind=kind):
                base = 1000 + 100 * i
                words = [base + k for k in range(10)] + [0xFFFF]
                c.write(qnapi.CW, base, words)
                self.assertEqual(c.read(qnapi.CW, base, len(words)), array("H", words))
                bits = [1, 0, 1, 1, 0, 0, 0, 1, 1]
                c.write_bits(qnapi.CB, 16 * base + 3, bits)
                self.assertEqual(c.read_bits(qnapi.CB, 16 * base + 3, len(bits)), bytes(bits))
                self.assertEqual(c.read_mux([(qnapi.CW, base, 2), (qnapi.CW, base + 10, 1)]),
                                 array("H", [base, base + 1, 0xFFFF]))

    def test_ranges_the_area_cannot_hold_are_refused_before_sending(self):
        # Area sizes are the defaults: CW 32768 words, CB 4096 words.  A write
        # the server would refuse part-way is refused whole.
        refused = [
            ("read of area 9", lambda c: c.read(9, 0, 1)),
            ("read past the area", lambda c: c.read(qnapi.CW, 32760, 100)),
            ("write longer than the area", lambda c: c.write(qnapi.CW, 0, [7] * 40000)),
            ("bit write past the area", lambda c: c.write_bits(qnapi.CB, 65535, [1, 1])),
            ("range of a mux read", lambda c: c.read_mux([(1, 0, 1), (1, 40000, 1)])),
        ]
        by_the_library = [("read of no words", lambda c: c.read(qnapi.CW, 0, 0))]
        for kind, c in self.connections.items():
            before = (c.read(qnapi.CW, 0, 32768), c.read(qnapi.CB, 0, 4096))
            for name, call in refused + by_the_library:
                with self.subTest(kind=kind, case=name):
                    with self.assertRaises(qnapi.Error) as caught:
                        call(c)
                    self.assertEqual(isinstance(caught.exception, qnapi.ArgumentError),
                                     (name, call) in refused)
                    support.assert_error(self, caught.exception, qnapi.E_ARG)
            self.assertEqual((c.read(qnapi.CW, 0, 32768), c.read(qnapi.CB, 0, 4096)), before)

    def test_messages(self):
        # The library receives on the link or a pipe connection.
        receiver = self.connections.get("local") or self.connections["pipe"]
        for channel, (kind, sender) in enumerate(self.connections.items(), 40):
            with self.subTest(sender=kind):
                sender.send_message(channel, b"first", word1=1, word2=channel)
                sender.send_message(channel, b"", word1=2, no_reply=True)
                got = [receiver.receive_message(channel, wait_ms=5000) for _ in range(2)]
                self.assertEqual(got[0], qnapi.Message(1, channel, b"first"))
                self.assertEqual(got[1].body, b"")


class LocalTransportTest(TransportCases, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = support.Server()
        cls.addClassCleanup(cls.server.stop)
        local = qnapi.Connection.local("PYLOCAL")
        cls.addClassCleanup(local.close)
        cls.connections = {"local": local}


class RemoteTransportTest(TransportCases, unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.server = support.Server(host=HOST, tcp=True)
        cls.addClassCleanup(cls.server.stop)
        pipe = qnapi.Connection.pipe("PYPIPE", HOST)
        cls.addClassCleanup(pipe.close)
        tcp = qnapi.Connection.tcp(HOST, cls.server.port, "PYTCP")
        cls.addClassCleanup(tcp.close)
        cls.connections = {"pipe": pipe, "tcp": tcp}

    def test_event_queues(self):
        for kind, c in self.connections.items():
            with self.subTest(kind=kind), c.open_queue(name="ALARMS") as queue:
                self.assertIn(queue.number, c.used_queues())
                self.assertEqual(c.named_queues("ALARMS"), [queue.number])
                self.assertEqual(c.queue_name(queue.number), "ALARMS")
                c.post_event(queue.number, 1, b"abc")
                c.post_event(queue.number, 2)
                self.assertEqual(queue.read(), qnapi.Event(1, c.name, 1, b"abc"))
                rest = next(queue.events(wait=True))
                self.assertEqual((rest.value, rest.data), (2, b""))
                self.assertEqual(list(queue), [])
                queue.close()
                self.assertEqual(c.named_queues("ALARMS"), [])

    def test_threads_share_a_connection(self):
        # Exchanges of several threads on one connection never mix.
        failures = []

        def worker(c, offset):
            try:
                for round_ in range(40):
                    words = [(offset + round_ + k) & 0xFFFF for k in range(50)]
                    c.write(qnapi.LGP, offset, words)
                    if c.read(qnapi.LGP, offset, 50) != array("H", words):
                        failures.append((c.kind, offset, round_))
            except qnapi.Error as e:
                failures.append(e)
        threads = [threading.Thread(target=worker, args=(c, 1000 * i + 100 * j))
                   for i, c in enumerate(self.connections.values()) for j in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertFalse(any(t.is_alive() for t in threads))
        self.assertEqual(failures, [])


TAGS = [("PUMP_SPEED", "CW10", False), ("LEVEL", "SW20", True), ("ALARM", "SB35", False),
        ("SETPOINT", "CW11", False)]


class LinkTest(unittest.TestCase):
    """What goes over the library's link only."""

    @classmethod
    def setUpClass(cls):
        cls.server = support.Server(
            project="C:PLANT", files={"drive/c/ravowld/usr/plant/plant.tag": support.tag_file(TAGS)})
        cls.addClassCleanup(cls.server.stop)

    def setUp(self):
        self.c = qnapi.Connection.local("PYLINK")
        self.addCleanup(self.c.close)

    def test_mailboxes_and_information_blocks(self):
        c = self.c
        c.write_mailbox("PYLINK", 5, [1, 2, 3])
        self.assertEqual(c.read_mailbox("PYLINK", 4, 5), array("H", [0, 1, 2, 3, 0]))
        info = c.server_info()
        self.assertEqual(len(info), qnapi.CMINFO_SIZE)
        self.assertIn(b"PYLINK", c.applications_info())

    def test_tags(self):
        c = self.c
        support.raises(self, lambda: c.read_tag("PUMP_SPEED"), qnapi.E_TAG_NOTLOADED, {6010})
        c.load_tags()
        c.write_tag("LEVEL", 0x12345678)
        self.assertEqual(c.read(qnapi.SW, 20, 2), array("H", [0x5678, 0x1234]))
        c.write_tag("Alarm", 1)
        name = "setpoint"
        c.write_tag(name, 7)
        self.assertEqual(name, "setpoint")  # the caller's string is left alone
        support.raises(self, lambda: c.write_tag("NOSUCHTAG", 1), qnapi.E_TAG_NOTFOUND, {6012})
        # A value the tag cannot hold is refused, not cut to its low bits.
        for tag, value in (("Alarm", 2), ("setpoint", 70000), ("setpoint", -32769)):
            with self.subTest(tag=tag, value=value):
                with self.assertRaises(qnapi.ArgumentError):
                    c.write_tag(tag, value)
        self.assertEqual((c.read_bit(qnapi.SB, 35), c.read_word(qnapi.CW, 11)), (1, 7))
        c.write_tag("setpoint", 65535)
        c.write_tag("LEVEL", 0xFFFFFFFF)
        self.assertEqual((c.read_tag("setpoint"), c.read_tag("LEVEL")), (-1, -1))
        c.unload_tags()
        support.raises(self, lambda: c.write_tag("LEVEL", 1), qnapi.E_TAG_NOTLOADED)

    def test_masked_and_direct_writes(self):
        # Which words a mask picks is the library's; the binding passes both lists.
        c = self.c
        c.write_direct(qnapi.CW, 100, list(range(16)))
        c.write_masked(qnapi.CW, 100, [1000 + j for j in range(16)], [0b10])
        self.assertEqual(c.read(qnapi.CW, 100, 3), array("H", [0, 1001, 2]))
        c.write_direct_bits(qnapi.CB, 32, [1] * 2)
        self.assertEqual(c.read_bits(qnapi.CB, 32, 3), b"\x01\x01\x00")

    def test_register_again_and_settings(self):
        self.c.register("PYOTHER")
        self.assertIn(b"PYOTHER", self.c.applications_info())
        saved = qnapi.settings.request_timeout
        try:
            qnapi.settings.request_timeout = 2500
            self.assertEqual(qnapi.lowlevel.QNA_MtxTimeOut.value, 2500)
        finally:
            qnapi.settings.request_timeout = saved


class ApplicationControlTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = support.Server(tcp=True)
        cls.addClassCleanup(cls.server.stop)

    def test_over_a_pipe_connection_only(self):
        with qnapi.Connection.pipe("PYCTL") as c:
            later = c.start_app("/bin/sleep", "60", name="SLEEPER", delay_ms=600000)
            c.cancel_request(later)
            self.assertEqual(c.request_status(later), 5)
        for opener in (lambda: qnapi.Connection.tcp(HOST, self.server.port, "PYCTL"),
                       lambda: qnapi.Connection.local("PYCTL")):
            with opener() as c:
                support.raises(self, lambda: c.request_status(1), qnapi.E_NOCONN)


class CommentFileTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # quonix writes the installation's system comment file when it starts.
        cls.server = support.Server()
        cls.addClassCleanup(cls.server.stop)

    def test_create_write_read_reopen(self):
        with qnapi.CommentFile.create("operator", 64, 128, overwrite=True) as f:
            self.assertEqual(f.header, (64, 128, 256, 256))
            f.put("word", 10, ["Pump speed setpoint", b"x" * 32])
            f.put("bit", 127, "last bit")
            self.assertTrue(f.text("system2", 204).startswith("SW0204"))
        with qnapi.CommentFile.open("operator") as f:
            self.assertEqual(f.get("word", 10, 2), [b"Pump speed setpoint".ljust(32), b"x" * 32])
            self.assertEqual(f.text("bit", 127), "last bit")
            for call in (lambda: f.get("bit", 120, 9), lambda: f.put("word", 64, "past"),
                         lambda: f.get(4, 0), lambda: f.put("word", 0, "y" * 33)):
                support.raises(self, call, qnapi.E_CMNT_ARG, kind=qnapi.ArgumentError)
        support.raises(self, lambda: f.get("word", 0), qnapi.E_CMNT_NOTOPEN)


class LauncherTest(unittest.TestCase):
    def test_window_match_modes_and_start_server_results(self):
        program = support.quonix_path()
        with support.Server():
            self.assertTrue(qnapi.find_window("stand-in server", match="suffix"))
            self.assertTrue(qnapi.find_window("quonix run", ignore_case=True))
            self.assertFalse(qnapi.find_window("quonix run"))
            # A server runs in this root: nothing is started.
            self.assertFalse(qnapi.start_server(os.path.dirname(program)))


class ExampleTest(unittest.TestCase):
    def test_plant_example_runs(self):
        here = os.path.dirname(os.path.abspath(__file__))
        script = os.path.join(here, "..", "..", "examples", "python", "plant.py")
        if not os.path.exists(script):
            self.skipTest("no examples/python/plant.py beside the package")
        with support.Server():
            env = dict(os.environ, PYTHONPATH=os.path.join(here, ".."))
            done = subprocess.run([sys.executable, script], env=env, capture_output=True,
                                  text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("message: shift report: level", done.stdout)
        self.assertIn("alarm from PLANTPY: 10 (level low)", done.stdout)


if __name__ == "__main__":
    unittest.main()
