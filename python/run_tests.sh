#!/usr/bin/env bash
# Runs the Python binding's tests against a build of the library and the
# stand-in server.  Usage: python/run_tests.sh [build-dir]  (default: build/debug)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build/debug}" && pwd)"
export QNAPI_LIBRARY="$build/libqnapi.so"
export QNAPI_QUONIX="$build/server/quonix"
export QNAPI_INCLUDE="$here/../include"
for f in "$QNAPI_LIBRARY" "$QNAPI_QUONIX"; do
  [ -e "$f" ] || { echo "run_tests.sh: no $f: build the library first" >&2; exit 2; }
done
# The tests start their own servers in private roots; a root of the caller's
# must not leak into them.
unset QNAPI_ROOT
cd "$here"
# A hang of the library becomes a failure rather than a stuck CI run.
exec timeout 300 python3 -m unittest discover -s tests -t . "${@:2}"
