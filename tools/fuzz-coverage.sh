#!/usr/bin/env bash
# Line coverage of each fuzz target's committed corpus over the files the
# target is about, on demand: the targets built with clang's source coverage
# (no sanitizers) in build/fuzz-cov, each corpus run once.
# Usage: tools/fuzz-coverage.sh [target ...]
set -euo pipefail
source "$(dirname "$0")/fuzz-common.sh"
fuzz_targets "$@"
flags="-fsanitize=fuzzer-no-link -fprofile-instr-generate -fcoverage-mapping"
cmake --preset fuzz -B build/fuzz-cov -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate -DCMAKE_SHARED_LINKER_FLAGS= >/dev/null
cmake --build build/fuzz-cov --target fuzzers -j 2
about() {
  case $1 in
    replies) echo core/requests.cpp core/areas.cpp apps/*.cpp remote/*data.cpp evqueue/*.cpp ;;
    requests) echo server/{requests,areas,reads,writes,mailboxes,messages,info,evqueues,registration,appctl}.cpp ;;
    tagfile) echo core/tags.cpp ;;
    comment) echo comment/comment.cpp ;;
    w95pipe) echo w95pipe/{open,io,table}.cpp ;;
    web) echo tools/web_api.cpp ;;
    tagcsv) echo tools/tagfile.cpp ;;
    options) echo server/options.cpp ;;
  esac
}
out=build/fuzz-cov/profiles
mkdir -p "$out"
for t in "${targets[@]}"; do
  bin=build/fuzz-cov/fuzz/fuzz_$t
  LLVM_PROFILE_FILE="$out/$t.profraw" "$bin" -runs=0 "fuzz/corpus/$t" >"$out/$t.log" 2>&1
  llvm-profdata merge -sparse "$out/$t.profraw" -o "$out/$t.profdata"
  # TOTAL's columns: regions, missed, %, functions, missed, %, lines, missed, %.
  llvm-cov report "$bin" -instr-profile="$out/$t.profdata" $(about "$t") |
    awk -v t="$t" '/^TOTAL/ { printf "fuzz_%s: lines %d of %d (%s)\n", t, $8 - $9, $8, $10 }'
  echo "  over $(about "$t")"
done
