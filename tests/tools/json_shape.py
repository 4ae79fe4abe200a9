"""Prints the shape of each line of a file of JSON lines, as a parser that
shares nothing with qna reads it: objects as {key:shape,...} in their order,
lists by their first element, and str, num, bool or null for the rest.
A line that is not JSON, or not UTF-8, ends it with status 1."""

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


with open(sys.argv[1], encoding="utf-8") as lines:
    for line in lines:
        print(shape(json.loads(line)))
