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
# The files each target is about.
about() {
  case $1 in
    replies) echo core/requests.cpp apps/*.cpp remote/*data.cpp evqueue/*.cpp ;;
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
  rm -f "$out/$t.profraw"
  LLVM_PROFILE_FILE="$out/$t.profraw" "$bin" -runs=0 "fuzz/corpus/$t" >"$out/$t.log" 2>&1
  llvm-profdata merge -sparse "$out/$t.profraw" -o "$out/$t.profdata"
  # Per file: regions, missed, %, functions, missed, %, lines, missed, %; the
  # names without the prefix they all share.
  llvm-cov report "$bin" -instr-profile="$out/$t.profdata" |
    awk -v t="$t" -v about="$(about "$t")" '
      BEGIN { n = split(about, files, " ") }
      { for (i = 1; i <= n; ++i)
          if (substr("../../" files[i], length(files[i]) + 7 - length($1)) == $1) {
            lines += $8; missed += $9; break
          } }
      END { printf "fuzz_%s: lines %d of %d (%.1f%%)\n", t, lines - missed, lines, 100 * (lines - missed) / lines }'
  echo "  over $(about "$t")"
done
