#!/usr/bin/env bash
# Builds and runs every test: the debug build's tests, then the library as
# users take it up from that build (tools/package-check.sh: the install, the
# CMake package and pkg-config, the Debian package, the Python package with
# its tests), the ASan+UBSan and TSan builds' tests, the fuzz targets for a
# bounded time, and the Windows builds checked and tested under wine64 and
# wine32.
# Usage: tools/test.sh [step ...]   (default: debug package asan tsan fuzz windows)
set -euo pipefail
cd "$(dirname "$0")/.."
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(debug package asan tsan fuzz windows)
for step in "${steps[@]}"; do
  echo "== $step"
  case "$step" in
    windows) tools/windows-check.sh ;;
    fuzz) tools/fuzz.sh 50 ;;  # every fuzz target for 50 s, two at a time
    package)
      # Against the debug build, which it builds when the debug step has not.
      cmake --preset debug >/dev/null
      cmake --build --preset debug
      tools/package-check.sh build/debug
      ;;
    *)
      cmake --preset "$step" >/dev/null
      cmake --build --preset "$step"
      ctest --preset "$step"
      ;;
  esac
done
