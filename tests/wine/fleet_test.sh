#!/usr/bin/env bash
# The console program's fleet under Wine against simulated devices on a
# private loopback (root, a network namespace of its own; no display):
#   a log folder others may write to; the per-device time limit on a device
#   that never answers, with its log; a first Ctrl-C (no more upgrades start)
#   and a second (the running ones abort); and the fleet's wine process killed
#   outright taking its upgrades with it.
# With --admin-tests, the administrators' fleet case that says the same of
# both programs (six devices at --parallel 3, one failing, a CSV report) runs
# too, with QEL_ADMIN_PROGRAM="wine EXE" (about two minutes).
#   tests/wine/fleet_test.sh --cli qel-upgrade-cli.exe --sim qel-device-sim \
#       --image target.bin --work DIR [--admin-tests qel_admin_tests]
# Exit status: 0 passed, 1 failed, 77 cannot run here.
set -uo pipefail

readonly SHARED_CASES='AdminTest.FleetReportsEachDevicesTrueOutcome'
cli="" sim="" image="" work="" admin_tests="" inside=0
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) cli=$(realpath "$2"); shift 2 ;;
    --sim) sim=$(realpath "$2"); shift 2 ;;
    --image) image=$(realpath "$2"); shift 2 ;;
    --work) mkdir -p "$2" && work=$(realpath "$2"); shift 2 ;;
    --admin-tests) admin_tests=$(realpath "$2"); shift 2 ;;
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
      QEL_ADMIN_PROGRAM="wine $cli" "$admin_tests" --gtest_filter="$SHARED_CASES" \
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

# ---- Two fleets of one user at once, one log folder ------------------------
# The second fleet's upgrade of a device the first one holds ends busy; it
# appends to the device's one log (Windows refused it a sharing violation
# and left the report's log column empty), and so does the first after it.
device 2 --http-hang
wine "$cli" fleet one.txt --timeout 120 --report first.csv --log-dir both >first.out 2>first.err &
pid=$!
if wait_for first.err '127.0.0.2 start' && wait_for both/127.0.0.2.log 'upgrade of 127.0.0.2'; then
  wine "$cli" fleet one.txt --report second.csv --log-dir both >second.out 2>second.err
  rc=$?
  kill -INT "$pid"
  sleep 1
  kill -INT "$pid"
  wait "$pid"
  check "the second fleet's device is busy (exit $rc)" test "$rc" -eq 7
  check "the second fleet logs its device" sh -c '! grep -q "is not logged" second.err'
  check "its report names the log" grep -q '^127.0.0.2,.*,busy,.*,[^,]*127.0.0.2.log,' second.csv
  check "the log holds the second fleet's result" grep -q 'result: busy' both/127.0.0.2.log
  check "and then the first one's" sh -c \
    'tr -d "\r" <both/127.0.0.2.log | grep "result: " | tail -1 | grep -q "result: aborted"'
else
  say "FAIL the first of two fleets did not start its upgrade"; cat first.err
  kill -KILL "$pid"
  failed=1
fi
stop_devices

# ---- The session's end (logoff, shutdown) -----------------------------------
# Windows sends no console event for it to a program that uses its
# windowing functions, as this one does: a hidden window of the fleet's gets
# it, which `wineboot --end-session` sends on a display. The fleet cancels
# its upgrades, writes its report and closes its logs within Windows's time,
# then ends (before, it was ended where it stood); an upgrade that cannot
# answer (here stopped) is stopped before Windows's time is up and reported
# in flight. The console's closing
# takes the same way from the console's handler; Wine sends no event for
# that one, nor for a hang-up.
display=""
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null; then
  for n in 96 94 92 90; do
    Xvfb ":$n" -screen 0 640x480x24 -nolisten tcp >xvfb.log 2>&1 &
    xvfb=$!
    for _ in $(seq 50); do
      DISPLAY=":$n" xdotool getdisplaygeometry >/dev/null 2>&1 && { display=":$n"; break 2; }
      sleep 0.1
    done
    kill "$xvfb" 2>/dev/null
    wait "$xvfb" 2>/dev/null
  done
  [ -n "$display" ] || { say "FAIL no Xvfb display could be started"; failed=1; }
else
  say "SKIP the session's end: Xvfb or xdotool is missing (scripts/install-deps.sh win32)"
fi
if [ -n "$display" ]; then
  session_prefix="$work/wine-prefix-session"
  rm -rf "$session_prefix"
  cp -a "$template" "$session_prefix"
  for n in 2 3 4; do device "$n" --http-hang; done
  printf '127.0.0.%s\n' 2 3 4 5 >four.txt
  DISPLAY=$display WINEPREFIX=$session_prefix wine "$cli" fleet four.txt --parallel 3 \
    --timeout 120 --report ended.csv --log-dir ended-logs >ended.out 2>ended.err &
  pid=$!
  if wait_for ended.err '127.0.0.4 connect'; then
    here=$(readlink /proc/self/ns/net) stopped=()
    for child in $(pgrep -f 'qel-upgrade-cli.exe upgrade 127.0.0.4 '); do
      [ "$(readlink "/proc/$child/ns/net" 2>/dev/null)" = "$here" ] && stopped+=("$child")
    done
    kill -STOP "${stopped[@]}"
    start=$(date +%s%N)
    DISPLAY=$display WINEPREFIX=$session_prefix timeout 60 wineboot --end-session \
      >/dev/null 2>&1 &
    session=$!
    gone=1
    for _ in $(seq 300); do
      kill -0 "$pid" 2>/dev/null || { gone=0; break; }
      sleep 0.1
    done
    say "measured: the fleet ended $((($(date +%s%N) - start) / 1000000)) ms after the session's end began"
    check "the fleet ends with its session" test "$gone" -eq 0
    [ "$gone" -eq 0 ] || kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    wait "$session" 2>/dev/null
    # Wine ends a process by signalling its threads: a stopped one ends once
    # it runs again (Windows ends it outright).
    kill -CONT "${stopped[@]}" 2>/dev/null
    for _ in $(seq 100); do
      upgrades_running || break
      sleep 0.1
    done
    check "its report is written" test -s ended.csv
    for n in 2 3; do
      check "127.0.0.$n, cancelled, is reported aborted or in flight" \
        grep -qsE "^127.0.0.$n,.*,(aborted|running)," ended.csv
    done
    check "127.0.0.4, whose upgrade did not answer, is reported in flight" \
      grep -qs '^127.0.0.4,.*,running,.*stopped before it reported' ended.csv
    for n in 2 3 4; do
      check "its log is whole (its result is the last line)" sh -c \
        "tr -d '\r' <ended-logs/127.0.0.$n.log | tail -1 | grep -q ' result: '"
    done
    check "127.0.0.5 is reported not started" grep -qs '^127.0.0.5,.*,not-started,' ended.csv
    check "no upgrade outlives the fleet" no_upgrades_running
  else
    say "FAIL the fleet to end with its session did not start its upgrades"; cat ended.err
    kill -KILL "$pid"
    failed=1
  fi
  stop_devices
  WINEPREFIX=$session_prefix wineserver -k 2>/dev/null
  rm -rf "$session_prefix"
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
fi

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
