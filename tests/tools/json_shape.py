"""Prints the shape of each line of files of JSON lines: objects as
{key:shape,...} in their order, lists by their first element, and str, num,
bool or null; "." after each file, "not JSON: why" (status 1) for one that
is not JSON lines in UTF-8."""

import json
import sys


def shape(value):
    if isinstance(value, dict):
        return "{" + ",".join("%s:%s" % (k, shape(v)) for k, v in value.items()) + "}"
    if isinstance(value, list):
        return "[" + (shape(value[0]) if value else "") + "]"
    if isinstance(value, bool):
        return "bool"
    if value is None:
        return "null"
    return "num" if isinstance(value, (int, float)) else "str"


status = 0
for path in sys.argv[1:]:
    try:
        with open(path, encoding="utf-8") as lines:
            print("\n".join(shape(json.loads(line)) for line in lines))
    except ValueError as error:
        print("not JSON: %s" % error)
        status = 1
    print(".")
sys.exit(status)
