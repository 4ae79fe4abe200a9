#!/usr/bin/env bash
# A long fuzzing campaign, on demand (never in CI): each target runs alone
# for the given seconds or 2 x 10^7 executions (QNAPI_FUZZ_RUNS, to finish a
# campaign begun in an earlier run), whichever ends first; then
# its seeds and new inputs are minimised together (-merge=1: only inputs that
# add coverage stay) into the committed corpus fuzz/corpus/<target>.  Prints
# each target's executions, exec/s and the edges and features the corpus
# reaches.  Commit the corpus after; tools/fuzz-coverage.sh gives its line
# coverage.
# Usage: tools/fuzz-campaign.sh [seconds per target, default 600] [target ...]
set -euo pipefail
source "$(dirname "$0")/fuzz-common.sh"
seconds=${1:-600}
shift || true
fuzz_targets "$@"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
out=build/fuzz/campaign
mkdir -p "$out"
for t in "${targets[@]}"; do
  bin=build/fuzz/fuzz/fuzz_$t
  rm -rf "$out/$t" && mkdir -p "$out/$t"
  "$bin" "$out/$t" "fuzz/corpus/$t" -max_total_time="$seconds" -runs="${QNAPI_FUZZ_RUNS:-20000000}" "${fuzz_flags[@]}" \
    -artifact_prefix="$out/$t-" >"$out/$t.log" 2>&1 || { echo "fuzz_$t: FINDING (see $out/$t.log)"; exit 1; }
  # The seeds and the new inputs minimised together: only inputs that add coverage stay.
  rm -rf "$out/$t.min" && mkdir "$out/$t.min"
  "$bin" -merge=1 "$out/$t.min" "fuzz/corpus/$t" "$out/$t" >"$out/$t.merge.log" 2>&1
  rm -f "fuzz/corpus/$t"/* && mv "$out/$t.min"/* "fuzz/corpus/$t/"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$t.log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out/$t.log")
  reach=$("$bin" -runs=0 "fuzz/corpus/$t" 2>&1 | grep -o 'cov: [0-9]* ft: [0-9]*' | tail -1)
  echo "fuzz_$t: $runs executions ($speed/s), corpus $(ls "fuzz/corpus/$t" | wc -l) inputs, $reach"
done
