#!/usr/bin/env bash
# Rollouts that wait, with the Windows console program under Wine:
#   with --admin-tests, the administrators' patient-fleet case (a window that
#   opens later, a device switched on late, one that fails, a fleet killed
#   outright and its report, upgrade --keep-trying; the closing window is
#   Linux's alone) with QEL_ADMIN_PROGRAM="wine EXE", at real speed (the
#   program has no test clock: about three minutes);
#   and the program run as a scheduled task runs it, with no console at all
#   (DETACHED_PROCESS, from a small launcher): a fleet inside its --window
#   with its standard handles on files, the same with no standard handles at
#   all, and an upgrade's JSON to a file; on a private loopback (root, a
#   network namespace of its own; no display).
#   tests/wine/rollout_test.sh --cli qel-upgrade-cli.exe --sim qel-device-sim \
#       --image target.bin --work DIR [--admin-tests qel_admin_tests]
# Exit status: 0 passed, 1 failed, 77 cannot run here.
set -uo pipefail

readonly SHARED_CASES='AdminTest.APatientRolloutWaitsForItsWindowAndLateDevicesButNotForFailures'
cli="" sim="" image="" work="" admin_tests="" inside=0
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) cli=$(realpath "$2"); shift 2 ;;
    --sim) sim=$(realpath "$2"); shift 2 ;;
    --image) image=$(realpath "$2"); shift 2 ;;
    --work) mkdir -p "$2" && work=$(realpath "$2"); shift 2 ;;
    --admin-tests) admin_tests=$(realpath "$2"); shift 2 ;;
    --inside) inside=1; shift ;;
    *) echo "rollout_test: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$cli" ] || [ -z "$sim" ] || [ -z "$image" ] || [ -z "$work" ]; then
  echo "usage: $0 --cli EXE --sim SIM --image TARGET_BIN --work DIR [--admin-tests PROGRAM]" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
cxx=x86_64-w64-mingw32-g++-posix
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# shellcheck source=tests/wine/prefix.sh
. "$here/prefix.sh"
template=${QEL_WINE_TEMPLATE:-$work/wine-template}
launcher="$work/no_console_launcher.exe"

if [ "$inside" -eq 0 ]; then
  for tool in wine wineboot wineserver unshare ip "$cxx"; do
    command -v "$tool" >/dev/null || {
      echo "rollout_test: SKIPPED, missing $tool (scripts/install-deps.sh win32)" >&2
      exit 77
    }
  done
  if [ "$(id -u)" -ne 0 ]; then
    echo "rollout_test: SKIPPED, needs root for a private network namespace" >&2
    exit 77
  fi
  wine_prefix_template "$template" "$work/wineboot.log" || exit 1
  "$cxx" -std=c++20 -O1 -Wall -Wextra -Werror -static -static-libgcc -static-libstdc++ \
    "$here/no_console_launcher.cpp" -o "$launcher" -lshell32 || exit 1
  unshare --net "$0" --inside --cli "$cli" --sim "$sim" --image "$image" --work "$work"
  status=$?
  if [ -n "$admin_tests" ]; then
    # The case makes its own LAN; the program's wineserver starts there.
    prefix="$work/wine-prefix-rollout-shared"
    rm -rf "$prefix"
    cp -a "$template" "$prefix"
    echo "rollout_test: the patient-fleet case under Wine, at real speed (minutes)"
    WINEPREFIX="$prefix" QEL_ADMIN_PROGRAM="wine $cli" "$admin_tests" \
      --gtest_filter="$SHARED_CASES" >"$work/rollout-shared.log" 2>&1
    shared=$?
    grep -E '^\[ +(OK|FAILED|SKIPPED) +\]|measured' "$work/rollout-shared.log" | sed 's/^/  /'
    if [ $shared -ne 0 ]; then
      echo "rollout_test: FAIL the patient-fleet case (log: $work/rollout-shared.log)"
      status=1
    fi
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null
    rm -rf "$prefix"
  else
    echo "rollout_test: SKIPPED the patient-fleet case (no --admin-tests program)"
  fi
  exit $status
fi

# ---- inside the namespace ---------------------------------------------------
ip link set lo up
export WINEPREFIX="$work/wine-prefix-rollout"
rm -rf "$WINEPREFIX"
cp -a "$template" "$WINEPREFIX"
# Started here, so that the program sees this namespace's loopback.
wineserver -k 2>/dev/null
wineserver -p 60
cd "$work" || exit 1
rm -rf rollout && mkdir rollout && cd rollout || exit 1

failed=0
sims=()
say() { echo "rollout_test: $*"; }
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then say "PASS $what"; else say "FAIL $what"; failed=1; fi
}
# Device N (2..) on 127.0.0.N.
device() {
  local n=$1
  "$sim" --address "127.0.0.$n" --http-port 80 --reference "$image" --reboot-seconds 1 \
    --port-file "dev$n.port" --time-limit 600 >"dev$n.out" 2>&1 &
  sims+=($!)
  for _ in $(seq 100); do
    [ -s "dev$n.port" ] && return 0
    sleep 0.1
  done
  say "FAIL device $n did not start"
  failed=1
}
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
detached() { wine "$launcher" "$@"; }

for n in 2 3 4; do device "$n"; done
printf '127.0.0.2\n' >files.txt
printf '127.0.0.3\n' >none.txt
# A window open now and for two hours, as a nightly task's would be.
window="$(date -d '-1 min' +%H:%M)-$(date -d '+2 hours' +%H:%M)"
exe=$(windows_path "$cli")

# Both fleets at once: each upgrade waits out the device's 30 s.
detached --files NUL files.out files.err "$exe" fleet files.txt --window "$window" \
  --keep-trying 10m --report files.csv --log-dir logs &
files_pid=$!
detached --none "$exe" fleet none.txt --report none.csv &
none_pid=$!
detached --files NUL upgrade.out upgrade.err "$exe" upgrade 127.0.0.4 --dry-run --json
rc=$?
check "an upgrade with no console ends (exit $rc)" test "$rc" -eq 0
check "its JSON is in the file of its standard output" grep -q '"result":"dry-run"' upgrade.out
wait "$files_pid"
rc=$?
check "a fleet with no console and its handles on files ends (exit $rc)" test "$rc" -eq 0
check "its report says the device was upgraded, once" grep -q '^127.0.0.2,.*,upgraded,.*,1$' files.csv
check "its steps are lines with their times in the error file" \
  grep -qE '^[0-9]{2}:[0-9]{2}:[0-9]{2} 127.0.0.2 started' files.err
check "its standard output file is empty (the report is a file)" test ! -s files.out
check "the device has its log" grep -q 'result: upgraded' logs/127.0.0.2.log
wait "$none_pid"
rc=$?
check "a fleet with no standard handles at all ends (exit $rc)" test "$rc" -eq 0
check "its report says the device was upgraded" grep -q '^127.0.0.3,.*,upgraded,' none.csv
if [ "$failed" -ne 0 ]; then
  for f in files.err upgrade.err files.csv none.csv; do echo "--- $f"; tail -n 20 "$f" 2>/dev/null; done
fi

for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; done
wait "${sims[@]}" 2>/dev/null
wineserver -k 2>/dev/null
exit "$failed"
