#!/usr/bin/env bash
# Builds the Windows programs and their package and tests them under Wine:
# the package (built twice to the same bytes, installed, upgraded, refused
# as a downgrade, removed; about twenty seconds), then the wizard's
# acceptance test against the device simulator (a few minutes: each upgrade
# waits out the device's own restart), the two-stage build's included.
# Needs root for the private network namespace.
#   scripts/test-win32.sh [--only PATH]...   paths: warning_cancel
#       confirm_cancel upgrade password_upgrade two_stage
# Build folders: QEL_WIN32_HOST_BUILD, QEL_WIN32_BUILD (see build-win32.sh)
# and QEL_WIN32_TWO_STAGE_BUILD (default build/win32-two-stage).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
host=${QEL_WIN32_HOST_BUILD:-$root/build/win32-host}
cross=${QEL_WIN32_BUILD:-$root/build/win32}
two_stage=${QEL_WIN32_TWO_STAGE_BUILD:-$root/build/win32-two-stage}
export QEL_WIN32_HOST_BUILD=$host QEL_WIN32_BUILD=$cross

scripts/install-deps.sh build win32
scripts/build-win32.sh
# The same sources but three files: a compiler cache makes it cheap.
QEL_WIN32_BUILD=$two_stage scripts/build-win32.sh -DQEL_TWO_STAGE=ON
# The simulator is a Linux program, from the native build.
cmake --build "$host" -j2 --target qel-device-sim

# Both run whatever the other found; the first failure is the exit status.
status=0
tests/wine/msi_test.sh --build "$cross" --work "$cross" || status=$?
tests/wine/wine_acceptance.sh --exe "$cross/qel-upgrade.exe" \
  --sim "$host/tools/device-sim/qel-device-sim" \
  --image "$cross/resources/target.bin" --work "$cross" \
  --two-stage-exe "$two_stage/qel-upgrade.exe" \
  --transition-image "$two_stage/resources/transition.bin" "$@" || {
  code=$?
  [ "$status" -ne 0 ] || status=$code
}
exit "$status"
