"""Tests of the Python binding; run them with python/run_tests.sh."""

import faulthandler

# A crash of the interpreter shows where it happened.
faulthandler.enable()
