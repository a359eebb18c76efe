#!/usr/bin/env bash
# Time to answer a query-remove on the simulated Windows, with the simulation's
# costs, for 1, 4 and 16 user sessions: helpers that end at once, helpers that
# never end, and a busy window on each of four desktops of every session;
# against the 30 s the service control manager allows; and the stop with 1, 2
# and 4 cards against the 25 s it promises. Usage: bench/query_remove.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset sim >/dev/null
cmake --build --preset sim --target bench_query_remove >/dev/null
build/sim/bench/bench_query_remove
