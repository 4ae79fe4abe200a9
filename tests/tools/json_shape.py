"""Prints the shape of each line of files of JSON lines, as a parser that
shares nothing with qna reads it: objects as {key:shape,...} in their order,
lists by their first element, and str, num, bool or null for the rest.
Each file's shapes end with a line "."; a file that is not JSON lines, or
not UTF-8, shows as "not JSON: why" and makes the status 1."""

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
