#!/usr/bin/env bash
# The fuller fault-injection sweep in one command: builds the sweep under
# AddressSanitizer and UndefinedBehaviorSanitizer and runs it with --full
# (the suite runs the shorter sweep). The figures are the sweep's last lines.
# Extra arguments go to the sweep, e.g. --scenario arrival or --verbose.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${FAULTSWEEP_BUILD_DIR:-build/sim-asan}
cmake --preset sim-asan -B "$dir" >/dev/null
cmake --build "$dir" --target faultsweep >/dev/null
exec "$dir/tests/faultsweep" --full "$@"
