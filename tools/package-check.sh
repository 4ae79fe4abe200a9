#!/usr/bin/env bash
# The library as its users take it up, from a build tree that is built:
#  1. the README's first program, built with the README's own line, runs;
#  2. `cmake --install` into a temporary prefix: examples/monitor.c built with
#     pkg-config, and a small C project with find_package(qnapi) that links
#     qnapi::qnapi and qnapi::qnapi_static, run against the installed quonix;
#  3. the Debian package (cpack -G DEB) installed with apt: the same two
#     builds against the system's paths, run against its quonix, and its
#     `qna demo`; the package is removed afterwards, whatever happens;
#  4. `pip install ./python` into a fresh venv, and the package's tests run
#     from outside the source tree against the installed package and the
#     installed library (the system's, or with NO_DEB=1 the temporary
#     prefix's through QNAPI_LIBRARY).
# NO_DEB=1 leaves out step 3, for a machine whose packages must not change.
# Usage: tools/package-check.sh [build-dir]   (default: build/debug)
set -euo pipefail
cd "$(dirname "$0")/.."
source=$(pwd)
build=$(cd "${1:-build/debug}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/qnapi-package.XXXXXX")
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
installed_deb=""
cleanup() {
  if [ -n "$installed_deb" ]; then
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq qnapi >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step() { echo "== package-check: $*"; }
fail() {
  echo "package-check: FAILED: $*" >&2
  exit 1
}
# Runs a program against a stand-in server of its own; it must say "all good".
runs_against() {  # quonix, program
  local out
  out=$(examples/run-with-server.sh "$@" 2>&1) || { echo "$out"; fail "$2 against $1"; }
  grep -q "all good" <<<"$out" || { echo "$out"; fail "$2 against $1 did not say all good"; }
}

# The consumers of the installed library.  PKG_CONFIG_PATH and
# CMAKE_PREFIX_PATH name a prefix that is not the system's.
cat >"$work/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(qnapi 0.1 CONFIG REQUIRED)
add_executable(monitor monitor.c)
target_link_libraries(monitor PRIVATE qnapi::qnapi)
add_executable(monitor_static monitor.c)
target_link_libraries(monitor_static PRIVATE qnapi::qnapi_static)
EOF
cp examples/monitor.c "$work/"
consumers() {  # name, quonix
  local dir=$work/$1 rpath=()
  mkdir -p "$dir"
  # A library outside the system's paths is found at run time by its path.
  [ -z "${PKG_CONFIG_PATH:-}" ] || rpath=(-Wl,-rpath,"$(pkg-config --variable=libdir qnapi)")
  # shellcheck disable=SC2046  # pkg-config's flags are words
  cc -o "$dir/monitor_pc" examples/monitor.c $(pkg-config --cflags --libs qnapi) "${rpath[@]}" ||
    fail "$1: monitor.c with pkg-config"
  runs_against "$2" "$dir/monitor_pc"
  cmake -S "$work" -B "$dir/cmake" -G Ninja >/dev/null || fail "$1: find_package(qnapi)"
  cmake --build "$dir/cmake" >/dev/null || fail "$1: the CMake consumer"
  runs_against "$2" "$dir/cmake/monitor"
  runs_against "$2" "$dir/cmake/monitor_static"
  echo "$1: monitor.c with pkg-config, and with find_package(qnapi) shared and static: all good"
}

# ---- 1. The README's first program ---------------------------------------------
step "the README's first program"
sed -n '/^## A first program/,/^## /p' README.md | sed -n '/^```c$/,/^```$/p' | sed '1d;$d' >"$work/first.c"
line=$(sed -n 's/^Build it with `\([^`]*\)`.*/\1/p' README.md)
[ -s "$work/first.c" ] && [ -n "$line" ] || fail "README.md has no first program or no line to build it"
# Run as written from a folder that looks like the top of the repository.
mkdir -p "$work/first/build"
ln -s "$source/include" "$work/first/include"
ln -s "$build" "$work/first/build/release"
mv "$work/first.c" "$work/first/"
(cd "$work/first" && eval "$line") || fail "the README's line: $line"
out=$(examples/run-with-server.sh "$build/server/quonix" "$work/first/first") || { echo "$out"; fail "the first program"; }
grep -q "1 2 3: success" <<<"$out" || { echo "$out"; fail "the first program did not read back 1 2 3"; }
echo "$out"

# ---- 2. A temporary prefix -----------------------------------------------------------
step "cmake --install into a temporary prefix"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
for f in "$libdir/libqnapi.so" "$libdir/libqnapi.a" include/qnapi.h include/qnapi_text.h bin/qna \
         bin/quonix bin/QUONIX.EXE share/man/man1/qna.1 share/man/man1/quonix.1 \
         share/doc/qnapi/examples/plant.csv; do
  [ -e "$prefix/$f" ] || fail "the install has no $f"
done
soname=$(objdump -p "$prefix/$libdir/libqnapi.so" | sed -n 's/^ *SONAME *//p')
[ "$soname" = libqnapi.so.0 ] || fail "libqnapi.so names itself '$soname', not libqnapi.so.0"
PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig CMAKE_PREFIX_PATH=$prefix consumers prefix "$prefix/bin/quonix"

# ---- 3. The Debian package -------------------------------------------------------
if [ "${NO_DEB:-}" != 1 ]; then
  step "the Debian package"
  if dpkg-query -W -f='${Status}' qnapi 2>/dev/null | grep -q "install ok installed"; then
    fail "a package qnapi is installed already: remove it first, or run with NO_DEB=1"
  fi
  rm -rf "$build/package"
  (cd "$build" && cpack -G DEB >/dev/null) || fail "cpack -G DEB"
  deb=$(ls "$build"/package/qnapi_*.deb)
  dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "the package's dependencies were not computed"
  # qna built with its bridge links libmosquitto: the package must depend on it.
  if objdump -p "$build/tools/qna" | grep -q 'NEEDED.*libmosquitto'; then
    dpkg-deb -f "$deb" Depends | grep -q libmosquitto || fail "the package does not depend on libmosquitto, which qna links"
  fi
  installed_deb=$deb
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null || fail "apt-get install $deb"
  quonix=$(dpkg -L qnapi | grep '/bin/quonix$')
  consumers system "$quonix"
  qna=$(dpkg -L qnapi | grep '/bin/qna$')
  "$qna" demo >"$work/demo.log" 2>&1 && grep -q "all good" "$work/demo.log" ||
    { cat "$work/demo.log"; fail "the installed qna demo"; }
  grep "steps passed" "$work/demo.log"
fi

# ---- 4. The Python package -----------------------------------------------------------
step "pip install ./python into a fresh venv"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
grep -qx "version = \"$version\"" python/pyproject.toml || fail "python/pyproject.toml does not say version $version"
# Debian's python3 with its setuptools: nothing comes from the network.
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --quiet --no-index --no-build-isolation ./python || fail "pip install ./python"
# The tests from a folder of their own, so that `import qnapi` is the
# installed package; the example they run sits where they look for it.
mkdir -p "$work/py" "$work/examples/python"
cp -r python/tests "$work/py/"
cp examples/python/plant.py "$work/examples/python/"
if [ -n "$installed_deb" ]; then
  env_for_tests=(-u QNAPI_LIBRARY QNAPI_QUONIX="$quonix" QNAPI_INCLUDE="$(dirname "$quonix")/../include")
else
  env_for_tests=(QNAPI_LIBRARY="$prefix/$libdir/libqnapi.so" QNAPI_QUONIX="$prefix/bin/quonix"
                 QNAPI_INCLUDE="$prefix/include")
fi
cd "$work/py"
env -u QNAPI_ROOT "${env_for_tests[@]}" "$work/venv/bin/python" -c '
import sys, qnapi
print("qnapi from", qnapi.__file__, "with", qnapi.lowlevel.library_path)
sys.exit(not qnapi.__file__.startswith(sys.prefix))' || fail "the venv does not import the installed package"
env -u QNAPI_ROOT "${env_for_tests[@]}" timeout 300 "$work/venv/bin/python" -m unittest discover -s tests -t . \
  >"$work/py.log" 2>&1 || { cat "$work/py.log"; fail "the Python package's tests against the installed package"; }
tail -1 "$work/py.log"
cd "$source"
echo "package-check: all good"
