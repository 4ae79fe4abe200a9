#!/usr/bin/env bash
# Line and branch coverage of the library, the platform layer and the server
# by the test suite.  Builds the coverage preset (the debug build with
# AddressSanitizer, compiled with --coverage) in build/coverage, runs its
# tests from zero counts, and prints gcovr's summary; the summary is kept in
# build/coverage/coverage.txt and a page per file in
# build/coverage/coverage/index.html.
# Usage: tools/coverage.sh [--report]   (--report: only the report of the last run)
# The exit status is ctest's: a failing test still leaves its report.
set -uo pipefail
cd "$(dirname "$0")/.."
build=build/coverage
status=0
if [ "${1:-}" != "--report" ]; then
  set -e
  cmake --preset coverage >/dev/null
  cmake --build --preset coverage
  set +e
  find "$build" -name '*.gcda' -delete
  ctest --preset coverage
  status=$?
fi

# What is measured: the library's own folders, the platform layer and the
# server; the tests, tools and generated files are not.  Branches that only
# an exception or the compiler makes are left out of the count.  The counters
# are updated atomically (the preset's -fprofile-update=atomic), since many
# threads run the same code; a count that gcov cannot parse is skipped
# rather than ending the report.  Counts are looked for under the build alone:
# from the root, the search would walk into the Wine prefixes of the Windows
# check, whose z: drive is the whole file system.
mkdir -p "$build/coverage"
gcovr --root . --object-directory "$build" -j 2 \
  --filter '(core|remote|apps|evqueue|comment|w95pipe|platform|server)/' \
  --exclude-unreachable-branches --exclude-throw-branches --gcov-ignore-parse-errors \
  --html-details "$build/coverage/index.html" --print-summary "$build" >"$build/coverage.log" 2>&1 ||
  { cat "$build/coverage.log"; exit 1; }
grep -E '^(lines|branches):' "$build/coverage.log" | sed 's/^/coverage of the library, platform and server: /' |
  tee "$build/coverage.txt"
exit $status
