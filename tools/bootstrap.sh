#!/usr/bin/env bash
# Installs the Debian packages that are missing, and only those.
#   tools/bootstrap.sh          what the release build and `qna demo` need
#   tools/bootstrap.sh --tests  that and what tools/test.sh needs besides
set -euo pipefail

# The release build: the library, quonix, qna (CLI11; civetweb and
# nlohmann/json for qna web; libmosquitto and cJSON for qna bridge), the
# examples and the man pages (help2man).
release=(cmake ninja-build g++ libcli11-dev libcivetweb-dev nlohmann-json3-dev libmosquitto-dev
         libcjson-dev help2man)
# The tests on top of it: GoogleTest (also its sources for the Windows
# tests), the benchmarks and their Modbus comparison, clang and its
# sanitizer and libFuzzer runtimes (clang only recommends them, and
# recommends may be off), valgrind, the Windows builds under 64- and 32-bit
# Wine, the Python package in a venv, the packaging checks (pkg-config,
# dpkg-shlibdeps, file), qna web's page in a real browser (chromium driven
# by selenium), a real MQTT broker and its clients for the bridge's tests,
# and gcovr for the coverage figures.
tests=(libgtest-dev libgmock-dev libbenchmark-dev libmodbus-dev clang libclang-rt-14-dev valgrind
       mingw-w64 wine64 wine32:i386 python3 python3-venv python3-setuptools python3-wheel
       pkg-config dpkg-dev file chromium chromium-driver python3-selenium mosquitto
       mosquitto-clients gcovr)

packages=("${release[@]}")
case "${1:-}" in
  "") ;;
  --tests) packages+=("${tests[@]}") ;;
  *) echo "usage: tools/bootstrap.sh [--tests]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# Packages of another architecture (wine32:i386) need it enabled first.
for p in "${missing[@]}"; do
  arch=${p##*:}
  [ "$arch" != "$p" ] || continue
  if [ "$arch" != "$(dpkg --print-architecture)" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    $sudo dpkg --add-architecture "$arch"
  fi
done
$sudo apt-get update -qq
# Through env, which sudo would otherwise drop.
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
