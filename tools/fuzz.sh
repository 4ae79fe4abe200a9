#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang, ASan+UBSan) and runs
# each for the given number of seconds, two at a time, starting from the
# committed seed corpus in fuzz/corpus/<target>.  Fails on any finding: a
# crash, a sanitizer report, a leak, a time-out or running out of memory.
# The input of a finding lands in build/fuzz/findings/.
# Usage: tools/fuzz.sh [seconds per target, default 30] [target ...]
set -euo pipefail
source "$(dirname "$0")/fuzz-common.sh"
seconds=${1:-30}
shift || true
fuzz_targets "$@"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

out=build/fuzz/runs
findings=build/fuzz/findings
mkdir -p "$out" "$findings"

run() {
  local t=$1
  # New inputs go to the work folder; the committed seeds are only read.
  mkdir -p "build/fuzz/work/$t"
  build/fuzz/fuzz/fuzz_"$t" "build/fuzz/work/$t" "fuzz/corpus/$t" \
    -max_total_time="$seconds" "${fuzz_flags[@]}" -artifact_prefix="$findings/$t-" >"$out/$t.log" 2>&1
}

pids=()
names=()
status=0
for t in "${targets[@]}"; do
  run "$t" &
  pids+=($!)
  names+=("$t")
  # Two at a time: the machine has two cores.
  if [ ${#pids[@]} -eq 2 ]; then
    wait "${pids[0]}" || { echo "fuzz_${names[0]}: FINDING (see $out/${names[0]}.log)"; status=1; }
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || { echo "fuzz_${names[$i]}: FINDING (see $out/${names[$i]}.log)"; status=1; }
done

for t in "${targets[@]}"; do
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$t.log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$out/$t.log" | tail -1 || true)
  echo "fuzz_$t: ${runs:-?} executions in ${seconds}s, ${cov:-cov: ?}"
done
if [ $status -ne 0 ]; then
  for t in "${targets[@]}"; do
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$out/$t.log" || true
  done
fi
exit $status
