#!/usr/bin/env bash
# The whole Windows check: builds qnapi.dll, the stand-in server, the qna
# command and the Windows tests with MinGW-w64 for x86_64 and i686, checks the
# export table of both DLLs against the public header, and runs each build's
# tests, the server and `qna demo` under Wine: the x86_64 build under wine64,
# the i686 one (whose exports are __stdcall) under the 32-bit wine32.  Exits
# non-zero on the first failure.
#
# Usage: tools/windows-check.sh
# Needs the Debian packages mingw-w64, wine64 and wine32:i386
# (tools/bootstrap.sh --tests installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
start=$(date +%s)

step() { echo "== $*"; }
fail() {
  echo "windows-check: FAILED: $*" >&2
  exit 1
}

for tool in x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix \
            x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump i686-w64-mingw32-nm; do
  command -v "$tool" >/dev/null || fail "$tool is missing (apt-get install mingw-w64)"
done
# The loaders themselves: /usr/bin/wine would run a 32-bit program under
# wine64 alone when wine32 is missing.
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
[ -x "$wine64" ] || fail "wine64 is missing (apt-get install wine64)"
[ -x "$wine32" ] || fail "wine32 is missing (dpkg --add-architecture i386, apt-get update, apt-get install wine32:i386)"
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver

# ---- Wine ----------------------------------------------------------------------
# A private Wine prefix per build in the build folder (a 32-bit one for
# i686), with the null display driver: windows exist (the window lookup needs
# them) without any display.  Each prefix has its own wineserver, so the two
# builds' tests can run at the same time.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
stop_wine() { "$wineserver" -k >/dev/null 2>&1 || true; }
jobs_left=()
cleanup() {
  local pid
  for pid in "${jobs_left[@]}"; do
    pkill -TERM -P "$pid" 2>/dev/null || true
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  for WINEPREFIX in "$root/build/wine" "$root/build/wine32"; do export WINEPREFIX; stop_wine; done
}
trap cleanup EXIT

make_prefix() {  # loader, prefix, WINEARCH, name of the Wine
  local wine=$1 name=$4
  export WINEPREFIX=$2 WINEARCH=$3
  [ ! -f "$WINEPREFIX/.qnapi-prefix" ] || return 0
  step "wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  "$wine" wineboot --init >/dev/null 2>&1 || fail "$name cannot start (wineboot)"
  "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 ||
    fail "$name: the display driver could not be set"
  "$wineserver" -w
  touch "$WINEPREFIX/.qnapi-prefix"
}

under_wine() {  # preset, loader, prefix, WINEARCH, name of the Wine
  local preset=$1 wine=$2 name=$5
  export WINEPREFIX=$3 WINEARCH=$4
  # No program of an earlier run (a server left behind) stays in the way.
  stop_wine

  step "tests of $preset under $name"
  ctest --preset "$preset" || fail "the Windows tests of $preset under $name"

  step "qna demo of $preset under $name"
  local demo_log=build/$preset/qna-demo.log
  if ! (cd "build/$preset/tools" && timeout 120 "$wine" ./qna.exe demo) >"$demo_log" 2>&1 ||
     ! grep -q 'all good' "$demo_log"; then
    cat "$demo_log"
    fail "qna demo of $preset under $name"
  fi
  grep 'steps passed' "$demo_log"
  stop_wine
}

# Runs a step in the background with its output in a log, shown when it ends.
background() {  # log, command...
  local log=$1
  shift
  "$@" >"$log" 2>&1 &
  jobs_left+=($!)
}
# Waits for the oldest background step and shows its log.
finish() {  # log, what failed
  local pid=${jobs_left[0]} status=0
  wait "$pid" || status=$?
  jobs_left=("${jobs_left[@]:1}")
  cat "$1"
  [ $status -eq 0 ] || fail "$2"
}

# ---- Build -------------------------------------------------------------------
build() {  # preset
  step "build $1"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j 2
}
# The prefixes are made while the first build runs (wineboot needs no build),
# and the x86_64 tests run while the i686 build is made: both mostly wait.
mkdir -p build
background build/wine-prefixes.log make_prefix "$wine64" "$root/build/wine" win64 wine64
build mingw64
finish build/wine-prefixes.log "the wine64 prefix"
background build/wine-prefixes.log make_prefix "$wine32" "$root/build/wine32" win32 wine32
background build/mingw64-wine.log under_wine mingw64 "$wine64" "$root/build/wine" win64 wine64
build mingw32
finish build/wine-prefixes.log "the wine32 prefix"

# ---- Exports -----------------------------------------------------------------
# The export table of each DLL must hold exactly the names of exports.txt,
# which the build makes from include/qnapi.h and include/qnapi_text.h: every
# exported function and variable under its plain name, but on i686
# QNA_EntAppName only as _QNA_EntAppName@4.
export_table() {  # objdump, dll
  "$1" -p "$2" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort
}
check_exports() {  # preset, triple
  local dir=build/$1 triple=$2
  [ -f "$dir/qnapi.dll" ] || fail "$dir/qnapi.dll was not built"
  [ -f "$dir/libqnapi.dll.a" ] || fail "$dir/libqnapi.dll.a (import library) was not built"
  if ! diff <(export_table "$triple-objdump" "$dir/qnapi.dll") <(sort "$dir/exports.txt") \
       > "$dir/exports.diff"; then
    echo "export table of $dir/qnapi.dll ('<' in the DLL only, '>' missing from it):"
    cat "$dir/exports.diff"
    fail "the exports of $dir/qnapi.dll are not the public API"
  fi
  # Only the system's DLLs beside it: the run-time libraries are linked in.
  local foreign
  foreign=$("$triple-objdump" -p "$dir/qnapi.dll" | sed -n 's/^[[:space:]]*DLL Name: //p' |
            grep -viE '^(kernel32|user32|ws2_32|msvcrt|advapi32|api-ms-win-.*)\.dll$' || true)
  [ -z "$foreign" ] || fail "$dir/qnapi.dll needs DLLs that are not the system's: $foreign"
  echo "$dir/qnapi.dll exports $(grep -c . "$dir/exports.txt") names, as exports.txt says"
}
step "exports"
check_exports mingw64 x86_64-w64-mingw32
check_exports mingw32 i686-w64-mingw32
grep -qx '_QNA_EntAppName@4' build/mingw32/exports.txt || fail "i686: _QNA_EntAppName@4 is not in the list"
grep -qx 'QNA_EntAppName' build/mingw64/exports.txt || fail "x86_64: QNA_EntAppName is not in the list"
# A __stdcall caller links against the decorated import symbols, and the
# 32-bit test program, linked like an application, imports the decorated name.
# (Outputs are taken whole before grep looks at them: a grep -q that stops
# early would fail the pipe under pipefail.)
import_symbols=$(i686-w64-mingw32-nm build/mingw32/libqnapi.dll.a)
for symbol in __imp__QNA_Open@4 __imp__QNA_EntAppName@4 __imp__NpipeRead@16 __imp__QNA_InternalErr; do
  grep -q " I $symbol\$" <<<"$import_symbols" || fail "i686: the import library lacks $symbol"
done
if [ -f build/mingw32/tests/win/test_win_dll.exe ]; then
  imports=$(i686-w64-mingw32-objdump -p build/mingw32/tests/win/test_win_dll.exe)
  grep -q '_QNA_EntAppName@4' <<<"$imports" ||
    fail "i686: an application does not import QNA_EntAppName as _QNA_EntAppName@4"
  grep -qE '[[:space:]]QNA_Open$' <<<"$imports" ||
    fail "i686: an application does not import QNA_Open by its plain name"
fi

under_wine mingw32 "$wine32" "$root/build/wine32" win32 wine32
finish build/mingw64-wine.log "under wine64"

echo "windows-check: all good ($(($(date +%s) - start)) s)"
