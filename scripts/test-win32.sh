#!/usr/bin/env bash
# Builds the Windows programs and runs their tests under Wine against the
# device simulator: the wizard's acceptance test (about two minutes: each
# upgrade waits out the device's own restart), then the console program's
# (tests/wine/cli_test.sh, about two minutes) and its fleet's
# (tests/wine/child_process_test.sh, tests/wine/fleet_test.sh, about two
# to four minutes). Needs root for the private network namespaces.
#   scripts/test-win32.sh [--only PATH]...   the wizard's paths: warning_cancel
#       confirm_cancel upgrade password_upgrade; "--only cli" runs the
#       console program's tests alone
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

cli_only=0
for word in "$@"; do [ "$word" = cli ] && cli_only=1; done
status=0
if [ $cli_only -eq 0 ]; then
  tests/wine/wine_acceptance.sh --exe "$cross/qel-upgrade.exe" \
    --sim "$host/tools/device-sim/qel-device-sim" \
    --image "$cross/resources/target.bin" --work "$cross" "$@" || status=$?
fi
if [ $cli_only -eq 1 ] || [ $# -eq 0 ]; then
  # The administrators' tests that apply to both programs, when the host
  # build has tests.
  shared=()
  if cmake --build "$host" -j2 --target qel_admin_tests >/dev/null 2>&1; then
    shared=(--admin-tests "$host/tests/admin/qel_admin_tests")
  fi
  tests/wine/cli_test.sh --exe "$cross/qel-upgrade-cli.exe" \
    --sim "$host/tools/device-sim/qel-device-sim" \
    --image "$cross/resources/target.bin" --work "$cross" "${shared[@]}" || {
    code=$?
    # A skip (77) does not hide a failure of the other test.
    [ $status -eq 0 ] || [ $status -eq 77 ] && status=$code
  }
fi
if [ $cli_only -eq 1 ] || [ $# -eq 0 ]; then
  # The fleet's child processes and the console program's upgrade taking the
  # fleet's Cancel (about half a minute), then its fleet against simulated
  # devices (about three minutes with the administrators' fleet case).
  shared=()
  [ -x "$host/tests/admin/qel_admin_tests" ] && shared=(--admin-tests "$host/tests/admin/qel_admin_tests")
  for test in child_process fleet; do
    args=(--work "$cross/$test" --cli "$cross/qel-upgrade-cli.exe")
    [ $test = fleet ] && args+=(--sim "$host/tools/device-sim/qel-device-sim"
      --image "$cross/resources/target.bin" "${shared[@]}")
    tests/wine/${test}_test.sh "${args[@]}" || {
      code=$?
      [ $status -eq 0 ] || [ $status -eq 77 ] && status=$code
    }
  done
fi
exit $status
