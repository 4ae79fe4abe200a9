#!/usr/bin/env bash
# Builds the tests in the debug, ASan+UBSan and TSan configurations and runs
# them all.  Usage: tools/test.sh [preset ...]   (default: debug asan tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(debug asan tsan)
for preset in "${presets[@]}"; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
