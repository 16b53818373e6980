#!/usr/bin/env bash
# Builds the Windows program and runs its acceptance test under Wine against
# the device simulator (about two minutes: each upgrade waits out the
# device's own restart). Needs root for the private network namespace.
#   scripts/test-win32.sh [--only PATH]...   paths: warning_cancel
#       confirm_cancel upgrade password_upgrade
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
host=${QEL_WIN32_HOST_BUILD:-$root/build/win32-host}
cross=${QEL_WIN32_BUILD:-$root/build/win32}
export QEL_WIN32_HOST_BUILD=$host QEL_WIN32_BUILD=$cross

scripts/install-deps.sh build win32
scripts/build-win32.sh
# The simulator is a Linux program, from the native build.
cmake --build "$host" -j2 --target qel-device-sim

tests/wine/wine_acceptance.sh --exe "$cross/qel-upgrade.exe" \
  --sim "$host/tools/device-sim/qel-device-sim" \
  --image "$cross/resources/target.bin" --work "$cross" "$@"

# The fleet's child processes, and the console program's upgrade taking the
# fleet's Cancel (about half a minute).
tests/wine/child_process_test.sh --work "$cross/children" --cli "$cross/qel-upgrade-cli.exe"
# The console program's fleet against simulated devices (about two minutes).
tests/wine/fleet_test.sh --cli "$cross/qel-upgrade-cli.exe" \
  --sim "$host/tools/device-sim/qel-device-sim" --image "$cross/resources/target.bin" \
  --work "$cross/fleet"
