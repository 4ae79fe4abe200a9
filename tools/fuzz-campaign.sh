#!/usr/bin/env bash
# A long fuzzing campaign, on demand (never in CI): each target runs alone
# for the given seconds, then its findings-free new inputs are merged
# (-merge=1, only inputs that add coverage) into the committed seed corpus
# fuzz/corpus/<target>.  Prints each target's executions, exec/s and the
# edges and features the merged corpus reaches.  Commit the corpus after.
# Usage: tools/fuzz-campaign.sh [seconds per target, default 600] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
targets=("$@")
# Every fuzz/<name>.cpp is the target fuzz_<name>.
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
out=build/fuzz/campaign
mkdir -p "$out"
for t in "${targets[@]}"; do
  bin=build/fuzz/fuzz/fuzz_$t
  rm -rf "$out/$t" && mkdir -p "$out/$t"
  "$bin" "$out/$t" "fuzz/corpus/$t" -max_total_time="$seconds" -max_len=8192 -timeout=20 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/$t-" >"$out/$t.log" 2>&1 ||
    { echo "fuzz_$t: FINDING (see $out/$t.log)"; exit 1; }
  "$bin" -merge=1 "fuzz/corpus/$t" "$out/$t" >"$out/$t.merge.log" 2>&1
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$t.log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out/$t.log")
  reach=$("$bin" -runs=0 "fuzz/corpus/$t" 2>&1 | grep -o 'cov: [0-9]* ft: [0-9]*' | tail -1)
  echo "fuzz_$t: $runs executions ($speed/s), corpus $(ls "fuzz/corpus/$t" | wc -l) inputs, $reach"
done
