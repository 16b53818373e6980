#!/usr/bin/env bash
# Builds the Windows programs and their package and tests them under Wine,
# in two groups at once (most of their time is spent waiting out the
# devices' restarts): the package (built twice to the same bytes,
# installed, upgraded, refused as a downgrade, removed) then the wizard's
# acceptance test against the device simulator, the two-stage build's
# included; and the console program's tests (tests/wine/cli_test.sh), its
# fleet's child processes and its fleet (tests/wine/child_process_test.sh,
# fleet_test.sh), with the administrators' cases that say the same of both
# programs when the host build has them, and its rollouts that wait with a run
# that has no console (tests/wine/rollout_test.sh). Needs root for the private
# network namespaces.
#   scripts/test-win32.sh [--only PATH]...   the wizard's paths alone: warning_cancel
#       confirm_cancel upgrade password_upgrade two_stage; "--only cli" runs the
#       console program's tests alone
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

cli_only=0
for word in "$@"; do [ "$word" = cli ] && cli_only=1; done
sim="$host/tools/device-sim/qel-device-sim"
image="$cross/resources/target.bin"
logs="$cross/lane-logs"
rm -rf "$logs"
mkdir -p "$logs"
# One prefix template for every test, made before they run side by side.
# shellcheck source=tests/lib/test_lib.sh
. tests/lib/test_lib.sh
wine_prefix_template "$cross/wine-template" "$logs/wineboot.log"
export QEL_WINE_TEMPLATE="$cross/wine-template"
# The administrators' tests that apply to both programs, when the host build
# has tests (the ci build has); then a failed build of them fails the lane
# instead of leaving their cases out.
shared=()
if grep -qx 'QEL_BUILD_TESTS:BOOL=ON' "$host/CMakeCache.txt"; then
  cmake --build "$host" -j2 --target qel_admin_tests >"$logs/admin-tests-build.log" 2>&1 ||
    { cat "$logs/admin-tests-build.log"; exit 1; }
  shared=(--admin-tests "$host/tests/admin/qel_admin_tests")
fi

# Each test runs whatever the others found; a group's status is its first
# failure, a skip (77) giving way to a failure (worse_status).

wizard_group() {
  local status=0
  tests/wine/msi_test.sh --build "$cross" --work "$cross" || status=$(worse_status $status $?)
  tests/wine/wine_acceptance.sh --exe "$cross/qel-upgrade.exe" --sim "$sim" --image "$image" \
    --work "$cross" --two-stage-exe "$two_stage/qel-upgrade.exe" \
    --transition-image "$two_stage/resources/transition.bin" "$@" || status=$(worse_status $status $?)
  return "$status"
}

console_group() {
  local status=0
  tests/wine/cli_test.sh --exe "$cross/qel-upgrade-cli.exe" --sim "$sim" --image "$image" \
    --work "$cross" "${shared[@]}" || status=$(worse_status $status $?)
  tests/wine/child_process_test.sh --work "$cross/child_process" \
    --cli "$cross/qel-upgrade-cli.exe" || status=$(worse_status $status $?)
  tests/wine/fleet_test.sh --work "$cross/fleet" --cli "$cross/qel-upgrade-cli.exe" \
    --sim "$sim" --image "$image" "${shared[@]}" || status=$(worse_status $status $?)
  # Rollouts that wait, and the program with no console (a scheduled task's run).
  tests/wine/rollout_test.sh --work "$cross/rollout" --cli "$cross/qel-upgrade-cli.exe" \
    --sim "$sim" --image "$image" "${shared[@]}" || status=$(worse_status $status $?)
  return "$status"
}

status=0
if [ $cli_only -eq 1 ]; then
  console_group || status=$?
elif [ $# -gt 0 ]; then
  wizard_group "$@" || status=$?
else
  # The wizard's group prints when it is done, so that the lines stay whole.
  wizard_group >"$logs/wizard.log" 2>&1 &
  wizard=$!
  console_group || status=$?
  wizard_status=0
  wait "$wizard" || wizard_status=$?
  echo "== the package and the wizard"
  cat "$logs/wizard.log"
  status=$(worse_status $status $wizard_status)
fi
exit "$status"
