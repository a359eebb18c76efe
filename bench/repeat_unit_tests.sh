#!/usr/bin/env bash
# The unit tests run many times over in one process, to find tests that fail
# by chance (a count or an order taken across a race between threads). Not
# part of the suite: it takes long. Prints, per test that failed at all, how
# many of the repeats it failed; exits non-zero when any did.
#
#   bench/repeat_unit_tests.sh [REPEATS [GTEST_FILTER]]
#
# REPEATS defaults to 2000, the filter to every unit test. With SHUFFLE=1 each
# repeat runs the tests in another order. UNIT_TESTS_BUILD_DIR picks the build
# (default build/sim-asan, built here if missing).
set -euo pipefail
cd "$(dirname "$0")/.."
repeats=${1:-2000}
filter=${2:-*}
dir=${UNIT_TESTS_BUILD_DIR:-build/sim-asan}
if [ ! -x "$dir/tests/unit_tests" ]; then
    cmake --preset sim-asan -B "$dir" >/dev/null
    cmake --build "$dir" --target unit_tests >/dev/null
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
args=(--gtest_repeat="$repeats" --gtest_filter="$filter" --gtest_brief=1)
if [ "${SHUFFLE:-0}" = 1 ]; then
    args+=(--gtest_shuffle)
fi
start=$(date +%s)
status=0
"$dir/tests/unit_tests" "${args[@]}" >"$log" 2>&1 || status=$?
echo "unit tests, $repeats repeats of '$filter': $(($(date +%s) - start)) s"
# A failing test's own line ends with its time; the summary's lines do not.
failures=$(grep -E '^\[  FAILED  \] [A-Za-z0-9_]+\.[A-Za-z0-9_]+ \([0-9]+ ms\)' "$log" |
    sed -E 's/^\[  FAILED  \] ([^ ]+) .*/\1/' | sort | uniq -c | sort -rn || true)
if [ -n "$failures" ]; then
    echo "failed (count of $repeats, test):"
    echo "$failures"
    exit 1
fi
if [ "$status" != 0 ]; then
    echo "the run ended with status $status:"
    tail -20 "$log"
    exit 1
fi
echo "no test failed"
