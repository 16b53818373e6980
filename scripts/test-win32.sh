#!/usr/bin/env bash
# Builds the Windows programs and their package and tests them under Wine,
# in two groups at once (most of their time is spent waiting out the
# devices' restarts): the wizard's acceptance test against the device
# simulator, the two-stage build's included; and the package (built twice to
# the same bytes, installed, upgraded, refused as a downgrade, removed) then
# the console program's tests (tests/wine/cli_test.sh), its fleet's child
# processes and its fleet (tests/wine/child_process_test.sh, fleet_test.sh),
# with the administrators' cases that say the same of both programs when the
# host build has them (on the test build's clock, qel-upgrade-cli-testable.exe),
# and its rollouts that wait with a run that has no console
# (tests/wine/rollout_test.sh).
# Needs root for the private network namespaces.
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

# The console program's test build: its code on the Win32 platform with the
# test clock (platform/win32/seams.h), for the administrators' shared cases.
testable=()
if [ -f "$cross/qel-upgrade-cli.exe" ]; then
  cmake --build "$cross" -j2 --target qel-upgrade-cli-testable
  testable=(--admin-exe "$cross/qel-upgrade-cli-testable.exe")
fi
# No product program holds a seam: nm reads every program's symbols (the test
# build's clock seam shows that it can) and finds no seam_ among the product's.
for exe in "$cross/qel-upgrade.exe" "$cross/qel-upgrade.com" "$cross/qel-upgrade-cli.exe" "$two_stage/qel-upgrade.exe" \
  "$two_stage/qel-upgrade-cli.exe" "$cross/qel-upgrade-cli-testable.exe"; do
  [ -f "$exe" ] || continue
  symbols=$(x86_64-w64-mingw32-nm "$exe")
  fault=""
  if [ -z "$symbols" ]; then
    fault="nm read no symbol"
  elif [[ $exe == *-testable.exe ]]; then
    grep -q seam_set_clock <<<"$symbols" || fault="the test build has no clock seam"
  elif grep -q seam_ <<<"$symbols"; then
    fault="a product program holds a test seam"
  fi
  [ -z "$fault" ] || { echo "test-win32: $exe: $fault" >&2; exit 1; }
done
echo "test-win32: no test seam in the product's programs (nm)"

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

package_tests() {
  tests/wine/msi_test.sh --build "$cross" --work "$cross"
}

wizard_tests() {
  tests/wine/wine_acceptance.sh --exe "$cross/qel-upgrade.exe" --sim "$sim" --image "$image" \
    --work "$cross" --two-stage-exe "$two_stage/qel-upgrade.exe" \
    --transition-image "$two_stage/resources/transition.bin" "$@"
}

console_tests() {
  local status=0
  tests/wine/cli_test.sh --exe "$cross/qel-upgrade-cli.exe" --sim "$sim" --image "$image" \
    --work "$cross" "${shared[@]}" "${testable[@]}" || status=$(worse_status "$status" $?)
  tests/wine/child_process_test.sh --work "$cross/child_process" \
    --cli "$cross/qel-upgrade-cli.exe" || status=$(worse_status "$status" $?)
  tests/wine/fleet_test.sh --work "$cross/fleet" --cli "$cross/qel-upgrade-cli.exe" \
    --sim "$sim" --image "$image" "${shared[@]}" "${testable[@]}" || status=$(worse_status "$status" $?)
  # Rollouts that wait, and the program with no console (a scheduled task's run).
  tests/wine/rollout_test.sh --work "$cross/rollout" --cli "$cross/qel-upgrade-cli.exe" \
    --sim "$sim" --image "$image" "${shared[@]}" || status=$(worse_status "$status" $?)
  return "$status"
}

# group NAME FUNCTION...: runs the functions in turn, whatever each finds,
# and says how long they took; its status is the first failure.
group() {
  local name=$1 status=0 start=$SECONDS
  shift
  for f in "$@"; do "$f" || status=$(worse_status "$status" $?); done
  echo "($name: $((SECONDS - start)) s)"
  return "$status"
}

status=0
if [ $cli_only -eq 1 ]; then
  console_tests || status=$?
elif [ $# -gt 0 ]; then
  package_tests || status=$(worse_status "$status" $?)
  wizard_tests "$@" || status=$(worse_status "$status" $?)
else
  # The wizard's paths (about three minutes) beside the package's and the
  # console program's tests. The wizard's group prints when it is done, so
  # that the lines stay whole.
  group "the wizard" wizard_tests >"$logs/wizard.log" 2>&1 &
  wizard=$!
  group "the package and the console program" package_tests console_tests || status=$?
  wizard_status=0
  wait "$wizard" || wizard_status=$?
  echo "== the wizard"
  cat "$logs/wizard.log"
  status=$(worse_status "$status" "$wizard_status")
fi
exit "$status"
