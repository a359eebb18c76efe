#!/usr/bin/env bash
# Builds everything and runs every test: the unit tests, the fault-injection
# sweep, the PE check and the Wine end-to-end tests under ASan+UBSan, the
# concurrency tests under ThreadSanitizer, and the fuzzers for a bounded time.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh || exit 1

build() {
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" || exit 1
}

passed=0
failed=0
run_tests() {
    local log
    log=$(mktemp)
    ctest --preset "$1" --no-tests=error 2>&1 | tee "$log"
    local status=${PIPESTATUS[0]}
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    if [ -n "$line" ]; then
        local total bad
        total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
        bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
        passed=$((passed + total - bad))
        failed=$((failed + bad))
    elif [ "$status" -ne 0 ]; then
        failed=$((failed + 1))
    fi
    rm -f "$log"
    [ "$status" -eq 0 ] || overall=1
}

overall=0
build windows
build sim-asan
run_tests sim-asan
build sim-tsan
run_tests sim-tsan
build fuzz
run_tests fuzz

echo
echo "Total: $passed passed, $failed failed"
exit $overall
