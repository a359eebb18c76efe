#!/usr/bin/env bash
# The service's main job, end to end under Wine: build HexlornS.exe, install
# and start it in a private prefix with a fake card and a stand-in companion,
# make the companion let go, stop it, and print its event records.
# Usage: scripts/run.sh [--lang en|zh-Hans|zh-Hant]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null
python3 scripts/demo.py "$@"
