#!/usr/bin/env bash
# Builds and runs every test: the AddressSanitizer build's tests, measuring
# coverage (tools/coverage.sh), then the library as users take it up from the
# release build (tools/package-check.sh: the install, the CMake package and
# pkg-config, the Debian package, the Python package with its tests), the
# ThreadSanitizer + UBSan build's tests, the fuzz targets for a bounded time on
# their committed corpora, and the Windows builds checked and tested under
# wine64 and wine32.  Each build is made once: the coverage counters ride on
# the ASan build, UBSan on the TSan one (UBSan's checks would count as
# branches in the coverage figures).
# Ends with the share of the tests in the source and the coverage figures.
# Usage: tools/test.sh [step ...]
#   (default: coverage package tsan fuzz windows; also: debug, asan)
set -euo pipefail
cd "$(dirname "$0")/.."
tools/check-layers.sh  # the include lines keep to the layers (docs/architecture.md)
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(coverage package tsan fuzz windows)
for step in "${steps[@]}"; do
  echo "== $step"
  case "$step" in
    windows) tools/windows-check.sh ;;
    coverage) tools/coverage.sh ;;
    fuzz) tools/fuzz.sh 15 ;;  # every fuzz target for 15 s, two at a time
    package)
      # Against the release build, as users build it (the coverage build's
      # static library would need gcov in every program that links it).
      cmake --preset release >/dev/null
      cmake --build --preset release
      tools/package-check.sh build/release
      ;;
    *)
      cmake --preset "$step" >/dev/null
      cmake --build --preset "$step"
      ctest --preset "$step"
      ;;
  esac
done

# Tests are meant to stay near a third of the code: non-blank lines of
# tests/, fuzz/ and python/tests/ against those of every source file.
sources() { git ls-files "$@" | grep -E '\.(cpp|h|hpp|c|py|sh|cmake)$|CMakeLists\.txt$' | xargs cat | grep -cv '^\s*$'; }
if git rev-parse --git-dir >/dev/null 2>&1; then
  all=$(sources) tests=$(sources tests fuzz python/tests)
  awk -v t="$tests" -v a="$all" 'BEGIN { printf "test share: %d of %d non-blank source lines (%.1f%%)\n", t, a, 100 * t / a }'
fi
[ ! -f build/coverage/coverage.txt ] || cat build/coverage/coverage.txt
