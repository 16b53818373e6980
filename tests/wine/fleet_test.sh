#!/usr/bin/env bash
# The console program's fleet under Wine against simulated devices on a
# private loopback (root, a network namespace of its own; no display):
#   a log folder others may write to; the per-device time limit on a device
#   that never answers, with its log; a first Ctrl-C (no more upgrades start)
#   and a second (the running ones abort); and the fleet's wine process killed
#   outright taking its upgrades with it.
# With --admin-tests, the administrators' fleet case that says the same of
# both programs (six devices at --parallel 3, one failing, a CSV report) runs
# too, with QEL_ADMIN_PROGRAM="wine EXE" (about two minutes), or with the test
# build --admin-exe names, on the Linux cases' test clock.
#   tests/wine/fleet_test.sh --cli qel-upgrade-cli.exe --sim qel-device-sim \
#       --image target.bin --work DIR [--admin-tests qel_admin_tests \
#       [--admin-exe qel-upgrade-cli-testable.exe]]
# Exit status: 0 passed, 1 failed, 77 cannot run here.
set -uo pipefail

readonly SHARED_CASES='AdminTest.FleetReportsEachDevicesTrueOutcome'
cli="" sim="" image="" work="" admin_tests="" admin_exe="" inside=0
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) cli=$(realpath "$2"); shift 2 ;;
    --sim) sim=$(realpath "$2"); shift 2 ;;
    --image) image=$(realpath "$2"); shift 2 ;;
    --work) mkdir -p "$2" && work=$(realpath "$2"); shift 2 ;;
    --admin-tests) admin_tests=$(realpath "$2"); shift 2 ;;
    --admin-exe) admin_exe=$(realpath "$2"); shift 2 ;;
    --inside) inside=1; shift ;;
    *) echo "fleet_test: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$cli" ] || [ -z "$sim" ] || [ -z "$image" ] || [ -z "$work" ]; then
  echo "usage: $0 --cli EXE --sim SIM --image TARGET_BIN --work DIR" >&2
  exit 2
fi
if [ "$inside" -eq 0 ]; then
  for tool in wine wineboot wineserver unshare ip; do
    command -v "$tool" >/dev/null || {
      echo "fleet_test: SKIPPED, missing $tool (scripts/install-deps.sh win32)" >&2
      exit 77
    }
  done
  if [ "$(id -u)" -ne 0 ]; then
    echo "fleet_test: SKIPPED, needs root for a private network namespace" >&2
    exit 77
  fi
  unshare --net "$0" --inside --cli "$cli" --sim "$sim" --image "$image" --work "$work"
  status=$?
  if [ -n "$admin_tests" ]; then
    # The cases make their own LAN; the program's wineserver starts there.
    prefix="$work/wine-prefix-shared"
    rm -rf "$prefix"
    cp -a "$work/wine-prefix-fleet" "$prefix"
    WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
      QEL_ADMIN_PROGRAM="wine ${admin_exe:-$cli}" "$admin_tests" --gtest_filter="$SHARED_CASES" \
      >"$work/fleet-shared.log" 2>&1
    shared=$?
    grep -E '^\[ +(OK|FAILED|SKIPPED) +\]' "$work/fleet-shared.log" | sed 's/^/  /'
    if [ $shared -ne 0 ]; then
      echo "fleet_test: FAIL the administrators' fleet case (log: $work/fleet-shared.log)"
      status=1
    fi
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null
    rm -rf "$prefix"
  fi
  exit $status
fi

# ---- inside the namespace ---------------------------------------------------
ip link set lo up
export WINEPREFIX="$work/wine-prefix-fleet" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
# A copy of the ready prefix the Windows lane made (or of one made here).
# shellcheck source=tests/wine/prefix.sh
. "$(dirname "$0")/prefix.sh"
template=${QEL_WINE_TEMPLATE:-$work/wine-template}
wine_prefix_template "$template" "$work/wineboot.log" || exit 1
[ -d "$WINEPREFIX" ] || cp -a "$template" "$WINEPREFIX"
# Started here, so that the program sees this namespace's loopback.
wineserver -k 2>/dev/null
wineserver -p 60
cd "$work" || exit 1
rm -rf fleet && mkdir fleet && cd fleet || exit 1

failed=0
sims=()
say() { echo "fleet_test: $*"; }
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then say "PASS $what"; else say "FAIL $what"; failed=1; fi
}
# Device N (2..) on 127.0.0.N, with extra simulator options.
device() {
  local n=$1
  shift
  "$sim" --address "127.0.0.$n" --http-port 80 --reference "$image" --reboot-seconds 3 \
    --port-file "dev$n.port" --time-limit 600 "$@" >"dev$n.out" 2>&1 &
  sims+=($!)
  for _ in $(seq 100); do
    [ -s "dev$n.port" ] && return 0
    sleep 0.1
  done
  say "FAIL device $n did not start"
  failed=1
}
stop_devices() {
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; done
  wait "${sims[@]}" 2>/dev/null
  sims=()
  rm -f dev*.port
}
# Waits (bounded) until FILE holds TEXT.
wait_for() {
  for _ in $(seq 1 600); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
# An upgrade a fleet of this test started: in this network namespace (other
# programs on the machine may run the same program).
upgrades_running() {
  local here pid
  here=$(readlink /proc/self/ns/net)
  for pid in $(pgrep -f 'qel-upgrade-cli.exe upgrade .*--exit-with-parent'); do
    [ "$(readlink "/proc/$pid/ns/net" 2>/dev/null)" = "$here" ] && return 0
  done
  return 1
}
no_upgrades_running() { ! upgrades_running; }
fleet() { wine "$cli" fleet "$@"; }

# A log folder others may write to is refused before any device is touched.
printf '127.0.0.2\n' >one.txt
mkdir shared && chmod 0777 shared
wine "$cli" fleet one.txt --log-dir shared >shared.out 2>shared.err
rc=$?
check "a log folder others may write to is refused (exit $rc)" test "$rc" -eq 2
check "the refusal says why" grep -q 'others may write to the log folder' shared.err

# A list's password file is found beside the list, whichever slash its path
# takes (here one others may read, so refused before any device is touched).
mkdir lists && printf 's3cret\n' >lists/pw && chmod 0644 lists/pw
printf '127.0.0.2 admin pw\n' >lists/office.txt
wine "$cli" fleet 'lists\office.txt' >beside.out 2>beside.err
rc=$?
check "a list's password file is read beside it (exit $rc)" grep -qF 'the password file lists\pw ' beside.err

# The per-device time limit, on a device that takes the request and never
# answers; its log, in a folder the fleet makes.
device 2 --http-hang
timeout 120 wine "$cli" fleet one.txt --timeout 3 --report hung.csv --log-dir logs >hung.out 2>hung.err
rc=$?
stop_devices
check "a device past its time limit is stopped and failed (exit $rc)" test "$rc" -eq 1
check "its row says the time limit" grep -q '^127.0.0.2,.*failed,.*no result within 3 s: stopped' hung.csv
check "no upgrade outlives the fleet" no_upgrades_running
check "the device has its log, which tells how it ended" grep -q 'result: failed' logs/127.0.0.2.log

# Ctrl-C twice: the first starts no more, the second aborts the running one.
for n in 2 3; do device "$n" --http-hang; done
printf '127.0.0.%s\n' 2 3 >two.txt
wine "$cli" fleet two.txt --parallel 1 --timeout 120 --report two.csv >two.out 2>two.err &
pid=$!
if wait_for two.err '127.0.0.2 start'; then
  sleep 1
  kill -INT "$pid"
  check "the first Ctrl-C stops new upgrades" wait_for two.err 'interrupted: no more upgrades start'
  check "a snapshot of the report is written at once" wait_for two.csv '127.0.0.2,.*,running,'
  kill -INT "$pid"
  wait "$pid"
  rc=$?
  check "the second Ctrl-C aborts the running upgrade (exit $rc)" test "$rc" -eq 3
  check "the running device is reported aborted" grep -q '^127.0.0.2,.*,aborted,' two.csv
  check "the waiting device is reported not started" grep -q '^127.0.0.3,.*,not-started,' two.csv
else
  say "FAIL the interrupted fleet did not start its upgrade"; cat two.err
  kill -KILL "$pid"
  failed=1
fi
stop_devices

# The fleet killed outright: the job object ends its upgrades.
for n in 2 3; do device "$n" --http-hang; done
wine "$cli" fleet two.txt --parallel 2 --timeout 120 >killed.out 2>killed.err &
pid=$!
if wait_for killed.err '127.0.0.3 start' && upgrades_running; then
  kill -KILL "$pid"
  gone=1
  for _ in $(seq 100); do
    upgrades_running || { gone=0; break; }
    sleep 0.1
  done
  check "the upgrades end with their killed fleet" test "$gone" -eq 0
else
  say "FAIL the fleet to kill did not start its upgrades"; cat killed.err
  kill -KILL "$pid"
  failed=1
fi
stop_devices

wineserver -k 2>/dev/null
exit "$failed"
