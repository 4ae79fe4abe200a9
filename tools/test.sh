#!/usr/bin/env bash
# Builds and runs every test: the AddressSanitizer build's tests, measuring
# coverage (tools/coverage.sh), then the library as users take it up from the
# release build (tools/package-check.sh: the install, the CMake package and
# pkg-config, the Debian package, the Python package with its tests), the
# ThreadSanitizer + UBSan build's tests, the Windows builds checked and
# tested under wine64 and wine32, and the fuzz targets for a bounded time on
# their committed corpora.  Each build is made once: the coverage counters
# ride on the ASan build, UBSan on the TSan one (UBSan's checks would count as
# branches in the coverage figures).
# Ends with the share of the tests in the source and the coverage figures.
# Usage: tools/test.sh [step ...]
#   (default: coverage package tsan windows fuzz; also: debug, asan)
set -euo pipefail
cd "$(dirname "$0")/.."
tools/check-layers.sh  # the include lines keep to the layers (docs/architecture.md)
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(coverage package tsan windows fuzz)

# Each step is a build and a run of its checks.  A run mostly waits (on
# servers, peers and time-outs), so it goes on in the background while the
# next step builds; one run at a time, its output shown whole when it ends.
# The Windows check is all build-side here: it overlaps its own runs.  The
# fuzz targets run at full speed on both cores, so they come last, alone.
build() {  # step
  case "$1" in
    windows) tools/windows-check.sh ;;
    package) cmake --preset release >/dev/null && cmake --build --preset release ;;
    *) cmake --preset "$1" >/dev/null && cmake --build --preset "$1" ;;
  esac
}
run() {  # step (its build is made)
  case "$1" in
    coverage) tools/coverage.sh ;;  # from zero counts
    fuzz) tools/fuzz.sh 15 ;;       # every fuzz target for 15 s, two at a time
    # Against the release build, as users build it (the coverage build's
    # static library would need gcov in every program that links it).
    package) tools/package-check.sh build/release ;;
    *) ctest --preset "$1" ;;
  esac
}

mkdir -p build
running="" running_pid=""
# A build that fails stops the run beside it too, with what it started.
stop_run() {
  [ -n "$running_pid" ] || return 0
  pkill -TERM -P "$running_pid" 2>/dev/null || true
  kill "$running_pid" 2>/dev/null || true
  wait "$running_pid" 2>/dev/null || true
}
trap stop_run EXIT
# A failed run does not stop the steps after it (a build that fails does):
# every failure is told at the end, and the exit status is 1.
failed=()
finish_run() {  # waits for the run in the background, if any
  [ -n "$running_pid" ] || return 0
  local status=0
  wait "$running_pid" || status=$?
  running_pid=""
  echo "== $running: run"
  cat "build/test-$running.log"
  [ $status -eq 0 ] || failed+=("$running")
}
for step in "${steps[@]}"; do
  echo "== $step: build"
  build_start=$(date +%s)
  build "$step"
  echo "== $step: built in $(($(date +%s) - build_start)) s"
  finish_run
  [ "$step" != windows ] || continue
  running=$step
  (
    set +e
    start=$(date +%s)
    run "$step"
    status=$?
    echo "== $step: ran in $(($(date +%s) - start)) s"
    exit $status
  ) >"build/test-$step.log" 2>&1 &
  running_pid=$!
done
finish_run

# Tests are meant to stay near a third of the code: non-blank lines of
# tests/, fuzz/ and python/tests/ against those of every source file.
sources() { git ls-files "$@" | grep -E '\.(cpp|h|hpp|c|py|sh|cmake)$|CMakeLists\.txt$' | xargs cat | grep -cv '^\s*$'; }
if git rev-parse --git-dir >/dev/null 2>&1; then
  all=$(sources) tests=$(sources tests fuzz python/tests)
  awk -v t="$tests" -v a="$all" 'BEGIN { printf "test share: %d of %d non-blank source lines (%.1f%%)\n", t, a, 100 * t / a }'
fi
[ ! -f build/coverage/coverage.txt ] || cat build/coverage/coverage.txt
if [ ${#failed[@]} -gt 0 ]; then
  echo "test.sh: FAILED: the run of ${failed[*]}" >&2
  exit 1
fi
