"""What the tests share: a stand-in server (quonix) in a private platform
root, started for a test and always stopped, and a few helpers.

Environment: QNAPI_LIBRARY names the library (the package finds it through
that), QNAPI_QUONIX the server program; without it the server is looked for
in server/quonix beside the library, as the build places it.
"""

import os
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

import qnapi

# Time limits wide enough for a slow CI machine; a hang turns into a failure.
START_LIMIT = 20.0
STOP_LIMIT = 30.0


def quonix_path():
    path = os.environ.get("QNAPI_QUONIX")
    if path:
        return path
    candidate = os.path.join(os.path.dirname(qnapi.lowlevel.library_path), "server", "quonix")
    return candidate if os.path.exists(candidate) else None


class Server:
    """A quonix in a private root of its own.  The root becomes this
    process's QNAPI_ROOT (the library reads it at each use) until stop().
    A server that does not come up is stopped and fails the test."""

    def __init__(self, *args, host=None, tcp=False, project=None, files=None):
        program = quonix_path()
        if program is None or not os.path.exists(program):
            raise unittest.SkipTest("no quonix: set QNAPI_QUONIX to the server program")
        self.folder = tempfile.mkdtemp(prefix="qnapi-py-")
        self.root = os.path.join(self.folder, "root")
        os.mkdir(self.root, 0o700)
        self.log_path = os.path.join(self.folder, "server.log")
        self.port = None
        for relative, content in (files or {}).items():
            path = os.path.join(self.root, relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(content)
        command = ([program, *args] + (["--host", host] if host else [])
                   + (["--tcp", "0"] if tcp else []) + (["--project", project] if project else []))
        self._previous_root = os.environ.get("QNAPI_ROOT")
        os.environ["QNAPI_ROOT"] = self.root
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=log)
        try:
            self._wait_ready(tcp)
        except BaseException:
            self.stop()
            raise

    def _wait_ready(self, tcp):
        # The server opens its window once it listens on every pipe and port.
        deadline = time.monotonic() + START_LIMIT
        while (self.process.poll() is None and not qnapi.find_window("QUONIX RUN")
               and time.monotonic() < deadline):
            time.sleep(0.01)
        if self.process.poll() is not None or not qnapi.find_window("QUONIX RUN"):
            raise AssertionError("quonix did not come up:\n" + self.log())
        if tcp:
            match = re.search(r"tcp listening on [0-9.]+:(\d+)", self.log())
            if not match:
                raise AssertionError("quonix names no TCP port:\n" + self.log())
            self.port = int(match.group(1))

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def kill(self):
        """Kills the server at once (SIGKILL), as a crash would."""
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(STOP_LIMIT)

    def stop(self):
        """SIGTERM, then SIGKILL if it has not ended; removes the root."""
        try:
            if self.process.poll() is None:
                self.process.send_signal(signal.SIGTERM)
                try:
                    self.process.wait(STOP_LIMIT)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait(STOP_LIMIT)
        finally:
            if self._previous_root is None:
                os.environ.pop("QNAPI_ROOT", None)
            else:
                os.environ["QNAPI_ROOT"] = self._previous_root
            shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def tag_file(tags):
    """A tag file with `tags`, each (name, address, dword): header, index in
    name order, second table, then records of 76 bytes from record 0."""
    records = [(b"<UNDEFINED>", b"", 0, 0)] + [
        (name.encode(), address.encode(), 1, 0x0080 if dword else 0)
        for name, address, dword in tags]
    n = len(records)
    order = [0] + sorted(range(1, n), key=lambda k: records[k][0])
    head = bytes(12) + struct.pack("<hhII", n, n, 28, 28 + 4 * n) + bytes(4)
    index = struct.pack("<%dH" % n, *order)
    second = struct.pack("<%dH" % n, *[order.index(k) if k else 0 for k in range(n)])
    body = b"".join(name.ljust(15, b"\0") + bytes(33) + struct.pack("<I", cls)
                    + address.ljust(20, b"\0") + struct.pack("<H", attributes) + bytes(2)
                    for name, address, cls, attributes in records)
    return head + index + second + body


def raises(case, call, result, details=None, kind=None):
    """Calls `call`, which must raise `kind` (qnapi.Error) as assert_error
    checks it; returns the error."""
    with case.assertRaises(kind or qnapi.Error) as caught:
        call()
    assert_error(case, caught.exception, result, details)
    return caught.exception


def assert_error(case, error, result, details=None):
    """An Error with `result`, a detail among `details` (when given), a text."""
    case.assertIsInstance(error, qnapi.Error)
    case.assertEqual(error.result, result, str(error))
    if details is not None:
        case.assertIn(error.detail, details, str(error))
    case.assertTrue(error.text)
