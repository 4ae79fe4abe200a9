#!/usr/bin/env bash
# Builds and runs every test: the debug, ASan+UBSan and TSan builds of the
# POSIX tests, then the Windows build checked and tested under wine64.
# Usage: tools/test.sh [preset ...]   (default: debug asan tsan windows)
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(debug asan tsan windows)
for preset in "${presets[@]}"; do
  echo "== $preset"
  if [ "$preset" = windows ]; then
    tools/windows-check.sh
    continue
  fi
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
