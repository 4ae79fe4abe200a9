# fuzz-common.sh - sourced by the fuzz scripts, from the top of the tree.
# fuzz_targets "$@" sets `targets` to the names given, or to every target
# (fuzz/<name>.cpp is the target fuzz_<name>); fuzz_flags go to every run.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
fuzz_targets() {
  targets=("$@")
  if [ ${#targets[@]} -eq 0 ]; then
    for source in fuzz/*.cpp; do targets+=("$(basename "$source" .cpp)"); done
  fi
}
fuzz_flags=(-max_len=8192 -timeout=20 -rss_limit_mb=2048 -print_final_stats=1)
