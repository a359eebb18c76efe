#!/usr/bin/env bash
# Time to answer a query-remove on the simulated Windows, by sessions and with
# hung helpers. Usage: bench/query_remove.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset sim >/dev/null
cmake --build --preset sim --target bench_query_remove >/dev/null
build/sim/bench/bench_query_remove
