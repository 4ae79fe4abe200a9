#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when some are missing.
set -euo pipefail
# libclang-rt-14-dev: clang's sanitizer and libFuzzer runtimes (the fuzz
# preset); clang only recommends it, and recommends may be off.
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libmodbus-dev valgrind mingw-w64 wine64 python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
