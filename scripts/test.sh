#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the Linux build's tests
# (unit, simulator, end to end, desktop, fuzz replays), the same suite under
# the address/undefined-behaviour and thread sanitizers, each fuzz target for
# a minute, then the Windows program under Wine.
# Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default

scripts/test-sanitizers.sh
scripts/fuzz.sh 60
scripts/test-win32.sh
