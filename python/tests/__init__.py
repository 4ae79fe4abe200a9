"""Tests of the Python binding; run with run_tests.sh, or
`python3 -m unittest discover -s tests -t .` from python/."""

import faulthandler

# A crash of the interpreter shows where it happened.
faulthandler.enable()
