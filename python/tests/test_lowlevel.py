"""The low-level module: every prototype matches the header, and the result
texts."""

import ctypes
import glob
import os
import re
import unittest

import qnapi
from qnapi import errors, lowlevel

PACKAGE = os.path.dirname(os.path.abspath(qnapi.__file__))


def header_paths():
    folder = os.environ.get("QNAPI_INCLUDE") or os.path.join(PACKAGE, "..", "..", "include")
    return sorted(glob.glob(os.path.join(folder, "qnapi*.h")))


SCALARS = {"uint32_t": ctypes.c_uint32, "int32_t": ctypes.c_int32, "char": ctypes.c_char,
           "int16_t": ctypes.c_int16, "uint16_t": ctypes.c_uint16, "uint8_t": ctypes.c_uint8}
STRUCTS = {"QNA_REGREC": lowlevel.QNA_REGREC, "QNA_CONNPARAM": lowlevel.QNA_CONNPARAM,
           "QNA_EVENT": lowlevel.QNA_EVENT}


def expected_types(parameter):
    """The ctypes types a C parameter may be bound as."""
    parameter = re.sub(r"\bconst\b", "", parameter).strip()
    pointer = "*" in parameter or "[" in parameter
    base = parameter.split("*")[0].split("[")[0].split()[0]
    if not pointer:
        return {SCALARS[base]}
    if base == "void":
        return {ctypes.c_void_p}
    if base == "char":
        return {ctypes.c_char_p, ctypes.c_void_p}
    return {ctypes.POINTER(SCALARS.get(base) or STRUCTS[base])}


def header_prototypes():
    """name: (result type, [parameter texts]) of every QNA_EXPORT function."""
    found = {}
    for path in header_paths():
        with open(path) as f:
            source = re.sub(r"/\*.*?\*/", "", f.read(), flags=re.S)
        pattern = r"QNA_EXPORT\s+([\w\s]+?)\s+(?:QNA_API\s+)?(\w+)\s*\(([^)]*)\)\s*;"
        for result, name, parameters in re.findall(pattern, source):
            parameters = " ".join(parameters.split())
            found[name] = (result.strip(),
                           [] if parameters in ("", "void") else parameters.split(","))
    return found


class PrototypeTest(unittest.TestCase):
    def test_prototypes_match_the_header(self):
        prototypes = header_prototypes()
        if not prototypes:
            self.skipTest("no qnapi.h beside the package (set QNAPI_INCLUDE)")
        everything = dict(lowlevel.PROTOTYPES, **lowlevel.OPTIONAL_PROTOTYPES)
        self.assertEqual(set(lowlevel.PROTOTYPES) - set(prototypes), set())
        for name, (result, parameters) in sorted(prototypes.items()):
            with self.subTest(function=name):
                self.assertIn(name, everything)
                restype, argtypes = everything[name]
                self.assertIs(restype, None if result == "void" else SCALARS[result])
                self.assertEqual(len(argtypes), len(parameters))
                for i, (bound, parameter) in enumerate(zip(argtypes, parameters)):
                    self.assertIn(bound, expected_types(parameter),
                                  "argument %d (%s)" % (i + 1, parameter.strip()))


class ResultTextTest(unittest.TestCase):
    def test_a_long_text_is_asked_for_again_with_room(self):
        if lowlevel.QNA_ResultText is None:
            self.skipTest("this libqnapi has no QNA_ResultText (an older build)")
        whole = qnapi.result_text(102, 1107)
        saved = errors._TEXT_ROOM
        errors._TEXT_ROOM = 4
        try:
            self.assertEqual(qnapi.result_text(102, 1107), whole)
        finally:
            errors._TEXT_ROOM = saved
        self.assertIn(whole, str(qnapi.Error(102, 1107, "QNA_WriteS")))

    def test_plain_text_without_the_function(self):
        saved = lowlevel.QNA_ResultText
        lowlevel.QNA_ResultText = None
        try:
            self.assertEqual(qnapi.result_text(2, -1), "result 2, detail -1")
            error = qnapi.Error(51, 53, "QNA_OpenN", "no such host")
            self.assertEqual(str(error), "QNA_OpenN: no such host (result 51, detail 53)")
        finally:
            lowlevel.QNA_ResultText = saved


if __name__ == "__main__":
    unittest.main()
