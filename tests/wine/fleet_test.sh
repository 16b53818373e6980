#!/usr/bin/env bash
# The console program's fleet under Wine against simulated devices on a
# private loopback (root, a network namespace of its own; no display):
#   a log folder others may write to; the per-device time limit on a device
#   that never answers, with its log; a first Ctrl-C (no more upgrades start)
#   and a second (the running ones abort); and the fleet's wine process killed
#   outright taking its upgrades with it; a list's password file named -, a
#   list's path that is not ASCII, and a report held open by another program
#   at the start and at the end.
# With --admin-tests, the administrators' fleet cases that say the same of
# both programs (the suite SharedFleetTest: six devices at --parallel 3, one
# failing, a CSV report) run too, with QEL_ADMIN_PROGRAM="wine EXE" (about
# two minutes), or with the test build --admin-exe names, on the Linux
# cases' test clock; they fail unless every case the suite lists passed.
#   tests/wine/fleet_test.sh --cli qel-upgrade-cli.exe --sim qel-device-sim \
#       --image target.bin --work DIR [--admin-tests qel_admin_tests \
#       [--admin-exe qel-upgrade-cli-testable.exe]]
# Exit status: 0 passed, 1 failed, 77 cannot run here.
set -uo pipefail

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
# shellcheck source=tests/lib/test_lib.sh
. "$(dirname "$0")/../lib/test_lib.sh" || exit 1
wine_env --console

if [ "$inside" -eq 0 ]; then
  NEED_HINT="scripts/install-deps.sh win32"
  need wine wineboot wineserver unshare ip x86_64-w64-mingw32-g++-posix
  [ -z "$admin_tests" ] || need /usr/bin/python3
  need_root "a private network namespace"
  wine_template "$work" "$work/wineboot.log" || exit 1
  x86_64-w64-mingw32-g++-posix -std=c++20 -O1 -Wall -Wextra -Werror -municode -static \
    "$(dirname "$0")/hold_file_probe.cpp" -o "$work/hold_file_probe.exe" || exit 1
  netns_run "$0" --inside --cli "$cli" --sim "$sim" --image "$image" --work "$work"
  status=$?
  if [ -n "$admin_tests" ]; then
    # The cases make their own LAN; the program's wineserver starts there.
    prefix="$work/wine-prefix-shared"
    wine_prefix_fresh "$prefix"
    WINEPREFIX="$prefix" run_shared_cases SharedFleetTest 1 "$admin_tests" "wine ${admin_exe:-$cli}" \
      "$work/fleet-shared.log"
    status=$(worse_status "$status" $?)
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null
    rm -rf "$prefix"
  fi
  exit "$status"
fi

# ---- inside the namespace ---------------------------------------------------
# A copy of the ready prefix the Windows lane made (or of one made here).
export WINEPREFIX="$work/wine-prefix-fleet"
wine_template "$work" "$work/wineboot.log" || exit 1
wine_prefix_fresh "$WINEPREFIX"
# Started here, so that the program sees this namespace's loopback.
wine_server_here 60
cd "$work" || exit 1
rm -rf fleet && mkdir fleet && cd fleet || exit 1

# Device N (2..) on 127.0.0.N, with extra simulator options.
device() {
  local n=$1
  shift
  sim_start "dev$n.port" "dev$n.out" "$sim" --address "127.0.0.$n" --http-port 80 \
    --reference "$image" --reboot-seconds 3 --time-limit 600 "$@" ||
    check_failed "device $n did not start"
}
stop_devices() {
  sims_stop
  rm -f dev*.port
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
# The device never answers: an upgrade left behind would stay for good, while
# Wine may take a moment to take an ended one out of the process table.
check "no upgrade outlives the fleet" wait_until 10 no_upgrades_running
check "the device has its log, which tells how it ended" grep -q 'result: failed' logs/127.0.0.2.log

# Ctrl-C twice: the first starts no more, the second aborts the running one.
for n in 2 3; do device "$n" --http-hang; done
printf '127.0.0.%s\n' 2 3 >two.txt
wine "$cli" fleet two.txt --parallel 1 --timeout 120 --report two.csv >two.out 2>two.err &
pid=$!
if wait_file two.err '127.0.0.2 start'; then
  sleep 1
  kill -INT "$pid"
  check "the first Ctrl-C stops new upgrades" wait_file two.err 'interrupted: no more upgrades start'
  check "a snapshot of the report is written at once" wait_file two.csv '127.0.0.2,.*,running,'
  kill -INT "$pid"
  wait "$pid"
  rc=$?
  check "the second Ctrl-C aborts the running upgrade (exit $rc)" test "$rc" -eq 3
  check "the running device is reported aborted" grep -q '^127.0.0.2,.*,aborted,' two.csv
  check "the waiting device is reported not started" grep -q '^127.0.0.3,.*,not-started,' two.csv
else
  check_failed "the interrupted fleet did not start its upgrade"; cat two.err
  kill -KILL "$pid"
fi
stop_devices

# ---- Two fleets of one user at once, one log folder ------------------------
# The second fleet's upgrade of a device the first one holds ends busy; it
# appends to the device's one log (Windows refused it a sharing violation
# and left the report's log column empty), and so does the first after it.
device 2 --http-hang
wine "$cli" fleet one.txt --timeout 120 --report first.csv --log-dir both >first.out 2>first.err &
pid=$!
if wait_file first.err '127.0.0.2 start' && wait_file both/127.0.0.2.log 'upgrade of 127.0.0.2'; then
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
  check_failed "the first of two fleets did not start its upgrade"; cat first.err
  kill -KILL "$pid"
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
  start_xvfb 96 xvfb.log && display=:96 xvfb=$XVFB_PID
  [ -n "$display" ] || check_failed "no Xvfb display could be started"
else
  say "SKIPPED the session's end: Xvfb or xdotool is missing (scripts/install-deps.sh win32)"
fi
if [ -n "$display" ]; then
  session_prefix="$work/wine-prefix-session"
  wine_prefix_fresh "$session_prefix"
  for n in 2 3 4; do device "$n" --http-hang; done
  printf '127.0.0.%s\n' 2 3 4 5 >four.txt
  DISPLAY=$display WINEPREFIX=$session_prefix wine "$cli" fleet four.txt --parallel 3 \
    --timeout 120 --report ended.csv --log-dir ended-logs >ended.out 2>ended.err &
  pid=$!
  if wait_file ended.err '127.0.0.4 connect'; then
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
    wait_until 30 '! kill -0 "$pid" 2>/dev/null' && gone=0
    say "measured: the fleet ended $((($(date +%s%N) - start) / 1000000)) ms after the session's end began"
    check "the fleet ends with its session" test "$gone" -eq 0
    [ "$gone" -eq 0 ] || kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    wait "$session" 2>/dev/null
    # Wine ends a process by signalling its threads: a stopped one ends once
    # it runs again (Windows ends it outright).
    kill -CONT "${stopped[@]}" 2>/dev/null
    wait_until 10 no_upgrades_running
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
    check_failed "the fleet to end with its session did not start its upgrades"; cat ended.err
    kill -KILL "$pid"
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
if wait_file killed.err '127.0.0.3 start' && upgrades_running; then
  kill -KILL "$pid"
  check "the upgrades end with their killed fleet" wait_until 10 no_upgrades_running
else
  check_failed "the fleet to kill did not start its upgrades"; cat killed.err
  kill -KILL "$pid"
fi
stop_devices

# Files as Windows users have them. A list naming a password file "-"
# beside it: that file, never standard input (the fleet's cancel channel),
# for a device that needs that password.
mkdir -p 'Büro'
printf 's3cret\n' >'Büro/-' && chmod 0600 'Büro/-'
printf '127.0.0.2 admin -\n' >'Büro/office.txt'
device 2 --password s3cret --software 5.2.5
(cd 'Büro' && timeout 60 wine "$cli" fleet office.txt --timeout 20 --report dash.csv) \
  >dash.out 2>dash.err
rc=$?
stop_devices
check "a list with a password file named - beside it (exit $rc)" test "$rc" -eq 0
check "... the file was read: the device is skipped" grep -q '^127.0.0.2,.*,skipped,' 'Büro/dash.csv'
# A folder's name that is not ASCII is read and shown as written.
wine "$cli" fleet 'Büro\missing.txt' >bureau.out 2>bureau.err
check "a list's path in Büro is shown as written" grep -qF 'cannot read Büro\missing.txt' bureau.err

# A report another program holds open is refused before any device is
# touched; one that becomes held meanwhile is written beside it at the end.
held() {  # held FILE: holds it until the returned descriptor closes
  coproc HOLD { wine "$work/hold_file_probe.exe" "$1"; }
  read -r -t 30 line <&"${HOLD[0]}" && [ "${line%$'\r'}" = held ]
}
printf 'address\n' >office.csv
if held office.csv; then
  wine "$cli" fleet one.txt --report office.csv >held.out 2>held.err
  rc=$?
  check "a report held open is refused at the start (exit $rc)" test "$rc" -eq 2
  check "... saying to close it" grep -q 'another program has it open: close it there' held.err
  eval "exec ${HOLD[1]}>&-"
  wait "$HOLD_PID"
else
  check_failed "could not hold the report open"
fi
device 2 --http-hang
wine "$cli" fleet one.txt --timeout 6 --report later.csv >later.out 2>later.err &
pid=$!
if wait_file later.err '127.0.0.2 start' && held later.csv; then
  wait "$pid"
  rc=$?
  check "a report held at the end is written beside it (exit $rc)" grep -q 'it was written to later.new.csv' later.err
  check "... whole" grep -q '^127.0.0.2,.*,failed,' later.new.csv
  eval "exec ${HOLD[1]}>&-"
  wait "$HOLD_PID"
else
  check_failed "the fleet did not start, or its report could not be held"
  kill -KILL "$pid"
fi
stop_devices

wineserver -k 2>/dev/null
checks_passed
