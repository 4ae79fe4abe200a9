#!/usr/bin/env bash
# The planted-fault check: plants each fault of tools/mutants.txt, one at a
# time, into a copy of the tree (build/mutate, the committed tree plus the
# working tree's changes), rebuilds it and runs the test programs the fault
# names.  A fault that no test notices is a hole in the suite; a fault whose
# original text is no longer found once in its file is stale.
# Usage: tools/mutate.sh [pattern]   (only the faults whose name matches)
#        tools/mutate.sh --check     (no build: every original text is found
#                                     once and every program exists)
# Prints caught / survived / stale per fault and a summary; exits 1 when a
# fault survived or went stale.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
pattern=${1:-.}
work=$root/build/mutate
list=$root/tools/mutants.txt
timeout_s=${QNAPI_MUTATE_TIMEOUT:-600}  # one program's run; a hang is a catch

# The quick check: the list still matches the tree.
if [ "$pattern" = --check ]; then
  exec python3 - "$root" "$list" <<'EOF'
import os, sys
root, path = sys.argv[1:]
bad = 0
for line in open(path):
    if line.startswith('#') or not line.strip():
        continue
    name, file, original, _, programs = [f.strip() for f in line.rstrip('\n').split(' | ')]
    full = os.path.join(root, file)
    text = open(full).read() if os.path.exists(full) else ''
    if text.count(original.replace('\\n', '\n')) != 1:
        print(f'stale {name} ({file}: the original is not there once)'); bad += 1
    for p in programs.split():
        if not os.path.isdir(os.path.join(root, 'tests', p)):
            print(f'stale {name} (no tests/{p})'); bad += 1
print('planted-fault list matches the tree' if not bad else f'{bad} stale')
sys.exit(1 if bad else 0)
EOF
fi

# The copy: a worktree of HEAD with the working tree's changes on top.  Its
# own build folder at the same depth keeps compiler caches warm.
if [ ! -e "$work/.git" ]; then
  git -C "$root" worktree add --force --detach "$work" HEAD >/dev/null
fi
git -C "$work" checkout --quiet --force --detach "$(git -C "$root" rev-parse HEAD)"
git -C "$work" clean --quiet -fd --exclude=build
git -C "$root" diff HEAD --binary | git -C "$work" apply --allow-empty
# The debug preset as it stands, so that a compiler cache serves both trees;
# a planted fault that the compiler warns of counts as one that does not build.
cmake --preset debug -S "$work" >/dev/null
build=$work/build/debug

# Replaces the one occurrence of an original snippet; 3 when it is not there
# exactly once.
plant() {
  python3 - "$@" <<'EOF'
import sys
path, original, replacement = sys.argv[1:]
original = original.replace('\\n', '\n')
replacement = replacement.replace('\\n', '\n')
text = open(path).read()
if text.count(original) != 1:
    sys.exit(3)
open(path, 'w').write(text.replace(original, replacement))
EOF
}

# Runs a test program in two halves side by side, each stopping at its first
# failure; fails when either half does (a hang is a failure too).
run_sharded() {
  local pids=() status=0
  for shard in 0 1; do
    (cd "$build/tests" && GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$shard \
       timeout "$timeout_s" "$1" --gtest_brief=1 --gtest_fail_fast >>"$build/planted.log" 2>&1) &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
  return $status
}

trim() { local s=$1; s=${s#"${s%%[![:space:]]*}"}; echo -n "${s%"${s##*[![:space:]]}"}"; }

caught=0 survived=0 stale=0 holes=()
while IFS= read -r line; do
  case "$line" in '#'* | '') continue ;; esac
  IFS=$'\x1f' read -r name file original replacement programs \
    <<<"${line// | /$'\x1f'}"
  name=$(trim "$name") file=$(trim "$file") programs=$(trim "$programs")
  [[ "$name" =~ $pattern ]] || continue
  cp "$work/$file" "$build/planted.orig"
  if ! plant "$work/$file" "$(trim "$original")" "$(trim "$replacement")"; then
    echo "stale     $name ($file: the original is not there once)"
    stale=$((stale + 1)) holes+=("$name")
    continue
  fi
  targets=() runs=()
  for p in $programs; do targets+=("test_$p") runs+=("$build/tests/test_$p"); done
  verdict=survived
  if ! cmake --build "$build" --target "${targets[@]}" >"$build/planted.log" 2>&1; then
    cp "$build/planted.log" "$build/unbuilt-$name.log"
    verdict="stale (does not build: $build/unbuilt-$name.log)"
  else
    for run in "${runs[@]}"; do
      if ! run_sharded "$run"; then
        verdict="caught    (by $(basename "$run"))"
        break
      fi
    done
  fi
  cp "$build/planted.orig" "$work/$file"
  case "$verdict" in
    caught*) caught=$((caught + 1)); echo "$verdict $name" ;;
    stale*) stale=$((stale + 1)) holes+=("$name"); echo "$verdict $name" ;;
    *) survived=$((survived + 1)) holes+=("$name"); echo "survived  $name ($file; ran: $programs)" ;;
  esac
done <"$list"
# Leave the copy built as the tree is, for the next run.
cmake --build "$build" >/dev/null 2>&1 || true

echo "planted faults: $caught caught, $survived survived, $stale stale"
[ ${#holes[@]} -eq 0 ] || { echo "not caught: ${holes[*]}"; exit 1; }
