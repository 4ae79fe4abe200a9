#!/usr/bin/env bash
# Builds and runs every test: the debug, ASan+UBSan and TSan builds of the
# POSIX tests (and the Python package's tests against the debug build), the fuzz
# targets for a bounded time, then the Windows build checked and tested under wine64.
# Usage: tools/test.sh [preset ...]   (default: debug asan tsan fuzz windows)
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(debug asan tsan fuzz windows)
for preset in "${presets[@]}"; do
  echo "== $preset"
  if [ "$preset" = windows ]; then
    tools/windows-check.sh
    continue
  fi
  if [ "$preset" = fuzz ]; then
    tools/fuzz.sh 50  # every fuzz target for 50 s, two at a time
    continue
  fi
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
  # The Python package against the debug library and server.
  if [ "$preset" = debug ]; then python/run_tests.sh build/debug; fi
done
