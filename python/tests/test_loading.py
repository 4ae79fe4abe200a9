"""Where the package finds the library: QNAPI_LIBRARY, a copy next to the
package; and a clear ImportError otherwise."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import qnapi
from qnapi import lowlevel

PACKAGE = os.path.dirname(os.path.abspath(qnapi.__file__))
SHOW_PATH = "import qnapi; print(qnapi.lowlevel.library_path)"


def python(code, cwd, **env_changes):
    env = {k: v for k, v in os.environ.items() if k != "QNAPI_LIBRARY"}
    env.update(env_changes)
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=60)


class LoadingTest(unittest.TestCase):
    def setUp(self):
        # A copy of the package with the library beside it.
        self.folder = tempfile.mkdtemp(prefix="qnapi-py-load-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.package = os.path.join(self.folder, "qnapi")
        shutil.copytree(PACKAGE, self.package, ignore=shutil.ignore_patterns("__pycache__"))
        shutil.copy(os.path.realpath(lowlevel.library_path),
                    os.path.join(self.package, "libqnapi.so"))

    def test_next_to_the_package_unless_the_variable_names_one(self):
        done = python(SHOW_PATH, self.folder)
        self.assertEqual(done.stdout.strip(), os.path.join(self.package, "libqnapi.so"),
                         done.stderr)
        done = python(SHOW_PATH, self.folder, QNAPI_LIBRARY=lowlevel.library_path)
        self.assertEqual(done.stdout.strip(), lowlevel.library_path)

    def test_a_wrong_variable_is_an_import_error(self):
        # Named explicitly, no other copy stands in for it.
        done = python(SHOW_PATH, self.folder, QNAPI_LIBRARY="/nonexistent/libqnapi.so")
        self.assertEqual(done.returncode, 1)
        self.assertIn("ImportError", done.stderr)
        self.assertIn("/nonexistent/libqnapi.so", done.stderr)
        self.assertNotIn("Segmentation", done.stderr)

    def test_nothing_found_is_an_import_error_that_says_what_was_tried(self):
        # A machine without the library: nothing beside the package, and the
        # system's linker finds none either (it may have one installed here).
        os.remove(os.path.join(self.package, "libqnapi.so"))
        code = ("import ctypes, ctypes.util\n"
                "ctypes.util.find_library = lambda name: None\n"
                "class NotInstalled(ctypes.CDLL):\n"
                "    def __init__(self, name, *args, **kwargs):\n"
                "        if name and '/' not in name:\n"
                "            raise OSError(name + ': cannot open shared object file')\n"
                "        super().__init__(name, *args, **kwargs)\n"
                "ctypes.CDLL = NotInstalled\n" + SHOW_PATH)
        done = python(code, self.folder)
        self.assertEqual(done.returncode, 1)
        self.assertIn("ImportError", done.stderr)
        for tried in ("QNAPI_LIBRARY", self.package, "libqnapi.so.0"):
            self.assertIn(tried, done.stderr)

if __name__ == "__main__":
    unittest.main()
