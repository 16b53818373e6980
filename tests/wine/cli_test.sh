#!/usr/bin/env bash
# The Windows console program (qel-upgrade-cli.exe) under Wine, against the
# device simulator on the namespace LAN of tests/lan/lan.sh: what Windows
# itself does for it (adapters and subnets, sockets, the console, access
# lists, the device lock's folder, Ctrl-C) is Wine's here, the rest is the program's
# own code.
#
#   tests/wine/cli_test.sh --exe qel-upgrade-cli.exe --sim qel-device-sim \
#       --image target.bin --work DIR [--admin-tests qel_admin_tests \
#       [--admin-exe qel-upgrade-cli-testable.exe]]
#
# First the administrators' tests that say the same of both programs (the
# suite SharedAdminTest: scan, an upgrade with a password file, dry run and
# a declined confirmation, Ctrl-C, unverified and unreachable devices, usage
# errors) run with QEL_ADMIN_PROGRAM="wine EXE", on their own LAN; they fail
# unless every case the suite lists passed, five at least. Without
# --admin-tests they are skipped, and said to be. With --admin-exe they run
# that test build instead, on the Linux cases' test clock, and the upgrade
# with a password file runs once more with EXE itself at real speed. Then this script's LAN
# checks what only Windows has: the console writer, a password typed without
# echo, a password file's access list, a current device, the commands as
# typed in cmd (qel-upgrade.com beside the wizard, which refuses arguments;
# with Xvfb and xdotool, qel-upgrade alone opens the wizard), the session's
# end, and the device lock.
# A wineserver starts inside each LAN's network namespace, so
# GetAdaptersAddresses lists that LAN's interfaces; the prefix is a copy of a
# template (QEL_WINE_TEMPLATE, else one kept in WORK, made here when
# missing). The upgrades run at real speed, the device's 30-second wait
# included.
# Exit status: 0 passed, 1 failed, 77 cannot run here.
set -uo pipefail

exe="" sim="" image="" work="" admin_tests="" admin_exe="" inside=0
while [ $# -gt 0 ]; do
  case "$1" in
    --exe) exe=$(realpath "$2"); shift 2 ;;
    --sim) sim=$(realpath "$2"); shift 2 ;;
    --image) image=$(realpath "$2"); shift 2 ;;
    --work) mkdir -p "$2" && work=$(realpath "$2"); shift 2 ;;
    --admin-tests) admin_tests=$(realpath "$2"); shift 2 ;;
    --admin-exe) admin_exe=$(realpath "$2"); shift 2 ;;
    --inside) inside=1; shift ;;
    *) echo "cli_test: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$exe" ] || [ -z "$sim" ] || [ -z "$image" ] || [ -z "$work" ]; then
  echo "usage: $0 --exe EXE --sim SIM --image TARGET_BIN --work DIR [--admin-tests PROGRAM]" >&2
  exit 2
fi
# shellcheck source=tests/lib/test_lib.sh
. "$(dirname "$0")/../lib/test_lib.sh" || exit 1
logs="$work/cli-logs"
wine_env --console  # a console program: no window may be needed

if [ "$inside" -eq 0 ]; then
  NEED_HINT="scripts/install-deps.sh win32"
  need wine wineboot wineserver script /usr/bin/python3 x86_64-w64-mingw32-g++-posix
  need_root "TFTP port 69, namespaces"
  case "$exe" in *[[:space:]]*) say "the program's path may hold no blank: $exe" >&2; exit 2 ;; esac
  rm -rf "$logs"
  mkdir -p "$logs"
  wine_template "$work" "$logs/wineboot.log" || exit 1
  status=0
  if [ -n "$admin_tests" ] && [ -x "$admin_tests" ]; then
    say "the administrators' shared cases, under Wine"
    shared_prefix="$work/cli-shared-prefix"
    wine_prefix_fresh "$shared_prefix"
    WINEPREFIX="$shared_prefix" run_shared_cases SharedAdminTest 5 "$admin_tests" \
      "wine ${admin_exe:-$exe}" "$logs/shared.log" || status=1
    if [ -n "$admin_exe" ]; then
      # The product's own clock: one whole upgrade, the device's wait included.
      say "one shared case with $(basename "$exe") at real speed"
      WINEPREFIX="$shared_prefix" run_shared_cases SharedAdminTest 1 "$admin_tests" "wine $exe" \
        "$logs/shared-real.log" UpgradeWithAPasswordFile || status=1
    fi
    rm -rf "$shared_prefix"
  else
    say "SKIPPED the administrators' shared cases (no --admin-tests program;" \
      "the host build needs QEL_BUILD_TESTS=ON)"
  fi
  lan_run 4 "$0" --inside --exe "$exe" --sim "$sim" --image "$image" --work "$work"
  lan=$?
  exit "$(worse_status $status $lan)"
fi

# ---- on the LAN: this is the PC (198.51.100.10 and 203.0.113.10) -----------

read -r -a devices <<<"$LAN_DEVICES"
readonly PASSWORD='s3cret!'
export WINEPREFIX="$work/cli-prefix"
wine_template "$work" "$logs/wineboot.log" || exit 1
wine_prefix_fresh "$WINEPREFIX"
# The one wineserver of the test, in this namespace, kept until the end.
wine_server_here
cleanup() {
  sims_stop
  wineserver -k 2>/dev/null
  wait 2>/dev/null
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# A device of the LAN: start_device N NAME ARGS...
start_device() {
  local n=$1 name=$2
  shift 2
  sim_start "$logs/$name-port" "$logs/$name-sim.out" \
    nsenter --net="$LAN_DEVICE_NETNS" "$sim" --address "${devices[$n]}" --allow-any-address \
    --http-port 80 --reference "$image" --reboot-seconds 1 --time-limit 400 \
    --verdict "$logs/$name-verdict.json" --log "$logs/$name-device.log" "$@" ||
    fail "the simulator for $name did not start"
}

# run NAME ARGS...: the program with standard input closed; NAME.out,
# NAME.err, NAME.rc in the logs.
run() {
  local name=$1
  shift
  wine "$exe" "$@" </dev/null >"$logs/$name.out" 2>"$logs/$name.err"
  echo $? >"$logs/$name.rc"
}

rc_of() { cat "$logs/$1.rc"; }
# json_is NAME KEY VALUE: the last JSON line of NAME.out has KEY == VALUE.
json_is() {
  /usr/bin/python3 - "$logs/$1.out" "$2" "$3" <<'EOF'
import json, sys
lines = [l for l in open(sys.argv[1], encoding="utf-8").read().splitlines() if l.strip()]
value = json.loads(lines[-1]).get(sys.argv[2])
sys.exit(0 if str(value).lower() == sys.argv[3].lower() else 1)
EOF
}
# has NAME TEXT out|err: NAME's output holds TEXT.
has() { grep -qF -- "$2" "$logs/$1.$3"; }

start_device 0 locked --password "$PASSWORD"
start_device 1 current --software 5.2.5
# Slow acknowledgements: a run that holds the device for a while.
start_device 2 slow --ack-delay all --ack-delay-ms 5
# A product name of Latin-1 and C1 bytes, for the console writer.
start_device 3 accent --product $'Caf\xe9 QEL\x9b2J'

say "Windows's side"
# On a console (a pseudo-terminal gives Wine one) the table is written as
# UTF-16 to the console: the device's Latin-1 byte shows as its character,
# its C1 byte as '?', and no byte is re-read in a code page.
script -qec "wine '$exe' scan ${devices[3]}/32" /dev/null </dev/null >"$logs/console.out" 2>&1
check "console: a device's Latin-1 text shows as UTF-8 on the console" \
  grep -q $'Caf\xc3\xa9 QEL?2J' "$logs/console.out"

# A password file that Everyone may read (what Wine's access list shows of
# mode 644) is refused before the device is contacted.
printf '%s\n' "$PASSWORD" >"$logs/open.pw"
chmod 644 "$logs/open.pw"
run open-pw upgrade "${devices[0]}" --password-file "$logs/open.pw" --yes --json
check "open-pw: refused (exit 2)" test "$(rc_of open-pw)" = 2
check "open-pw: the message names who may read it" has open-pw "Everyone (S-1-1-0) may read or change it" err
check "open-pw: the device was not contacted" sh -c "! grep -q '^HTTP-REQ' '$logs/locked-device.log'"

# Typed at the console, the password is not shown: the console's echo is
# off while it is read, and the device accepts it.
# Typed once the prompt is there: what a terminal gets before the program
# runs is echoed by the terminal itself.
: >"$logs/typed.out"
{
  wait_file "$logs/typed.out" 'Password for'
  sleep 0.5
  printf '%s\r' "$PASSWORD"
} | timeout 120 script -qec "wine '$exe' upgrade ${devices[0]} --dry-run --json" /dev/null \
  >"$logs/typed.out" 2>&1
check "typed: the typed password was accepted (dry run)" grep -q '"result":"dry-run"' "$logs/typed.out"
check "typed: the prompt was shown" grep -q "Password for admin@${devices[0]}:" "$logs/typed.out"
check "typed: the password was not echoed" sh -c "! grep -qF '$PASSWORD' '$logs/typed.out'"

run current upgrade "${devices[1]}" --yes --json
check "current: exit 0" test "$(rc_of current)" = 0
check "current: result current" json_is current result current
check "current: no image sent" json_is current image_delivered false

# ---- The commands as typed in a console (qel-upgrade.com) -------------------
# cmd (and PowerShell) try .com before .exe: `qel-upgrade COMMAND` reaches
# the console program beside the wizard, where it reached the wizard, which
# showed its first dialog, ignored the command and ended 0. The wizard
# refuses arguments with a message and exit 2.
folder=$(dirname "$exe")
typed() {  # typed NAME COMMAND-LINE: cmd with the programs' folder first on PATH
  local name=$1
  shift
  wine cmd /c "set PATH=Z:${folder//\//\\};%PATH%&& $*" </dev/null >"$logs/$name.out" \
    2>"$logs/$name.err"
  echo $? >"$logs/$name.rc"
}
typed typed-scan "qel-upgrade scan ${devices[1]}/32"
check "typed-scan: qel-upgrade scan in cmd scans (exit 0)" test "$(rc_of typed-scan)" = 0
check "typed-scan: and lists the device" has typed-scan "${devices[1]}  " out
typed typed-help "qel-upgrade upgrade --help"
check "typed-help: its help names the command as typed" has typed-help "Usage: qel-upgrade upgrade " out
wine "$folder/qel-upgrade.exe" fleet office.txt --report office.csv </dev/null \
  >"$logs/wizard-args.out" 2>"$logs/wizard-args.err"
echo $? >"$logs/wizard-args.rc"
check "wizard-args: the wizard refuses arguments (exit 2)" test "$(rc_of wizard-args)" = 2
check "wizard-args: and names the console program" has wizard-args "qel-upgrade.com" err
# An Xvfb display of this test's own: its name in $display, its pid in $xvfb.
start_display() {
  display="" xvfb=""
  start_xvfb 97 "$logs/xvfb.log" || return 1
  display=:97 xvfb=$XVFB_PID
}
# With no command, the wizard opens and the prompt comes back; on a display
# of its own, with a prefix and wineserver of its own that start there.
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null; then
  if start_display; then
    (
      export DISPLAY=$display WINEPREFIX="$work/cli-prefix-display"
      wine_prefix_fresh "$WINEPREFIX"
      timeout 60 wine cmd /c "set PATH=Z:${folder//\//\\};%PATH%&& qel-upgrade" \
        </dev/null >"$logs/typed-alone.out" 2>&1
      echo $? >"$logs/typed-alone.rc"
      opened=1
      for _ in $(seq 300); do
        xdotool search --onlyvisible --name '^QEL-742/QEL-722 Firmware Upgrade$' >/dev/null 2>&1 &&
          { opened=0; break; }
        sleep 0.1
      done
      echo "$opened" >"$logs/typed-alone.opened"
      wineserver -k 2>/dev/null
      rm -rf "$WINEPREFIX"
    )
    check "typed-alone: qel-upgrade alone returns 0" test "$(rc_of typed-alone)" = 0
    check "typed-alone: and the wizard's first dialog opens" test "$(cat "$logs/typed-alone.opened")" = 0
    kill "$xvfb"
    wait "$xvfb" 2>/dev/null
  else
    check_failed "typed-alone: no Xvfb display could be started ($logs/xvfb.log)"
  fi
else
  say "SKIPPED typed-alone: Xvfb or xdotool is missing (scripts/install-deps.sh win32)"
fi

# ---- The session's end (logoff, shutdown) ------------------------------------
# An upgrade whose session ends is cancelled as at Ctrl-C and prints its
# result before Windows ends it (before, it was ended where it stood).
# Windows sends no console event for the session's end to a program that
# uses its windowing functions, as this one does: a hidden window of its own
# gets it, which `wineboot --end-session` sends on a display. The console's
# closing takes the same way from the console's handler; Wine sends no
# event for that one.
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null; then
  if start_display; then
    session_prefix="$work/cli-prefix-session"
    wine_prefix_fresh "$session_prefix"
    DISPLAY=$display WINEPREFIX=$session_prefix wine "$exe" upgrade "${devices[2]}" --yes --json \
      </dev/null >"$logs/ended.out" 2>"$logs/ended.err" &
    upgrade=$!
    wait_file "$logs/ended.err" '^\[upload'
    DISPLAY=$display WINEPREFIX=$session_prefix timeout 60 wineboot --end-session \
      >/dev/null 2>&1 &
    session=$!
    gone=1
    wait_until 30 '! kill -0 "$upgrade" 2>/dev/null' && gone=0
    [ "$gone" -eq 0 ] || kill -KILL "$upgrade"
    wait "$upgrade"
    echo $? >"$logs/ended.rc"
    wait "$session" 2>/dev/null
    check "ended: the upgrade ends with its session" test "$gone" = 0
    check "ended: cancelled as at Ctrl-C (exit 3)" test "$(rc_of ended)" = 3
    check "ended: its result is printed" json_is ended result aborted
    WINEPREFIX=$session_prefix wineserver -k 2>/dev/null
    rm -rf "$session_prefix"
    kill "$xvfb"
    wait "$xvfb" 2>/dev/null
  else
    check_failed "ended: no Xvfb display could be started ($logs/xvfb.log)"
  fi
else
  say "SKIPPED ended: Xvfb or xdotool is missing (scripts/install-deps.sh win32)"
fi

# ---- The device lock (Windows) ----------------------------------------------
# A second upgrade of a device that another run holds ends busy, naming the
# holder's pid and command line (what the lock file holds); an event under
# the old lock's name (Global\qel-upgrade-ADDRESS), made first by anyone,
# neither blocks a run nor lets two in. The holder then ends at Ctrl-C (Wine
# turns SIGINT into CTRL_C_EVENT).
x86_64-w64-mingw32-g++-posix -O2 -static -municode -o "$work/name_holder.exe" \
  "$(dirname "$0")/name_holder.cpp" 2>"$logs/name_holder.err"
wine "$work/name_holder.exe" "Global\\qel-upgrade-${devices[2]}" </dev/null >"$logs/name.out" 2>&1 &
name_holder=$!
wait_file "$logs/name.out" held 10
check "lock: the old lock's name is taken first" grep -q held "$logs/name.out"
wine "$exe" upgrade "${devices[2]}" --yes --json </dev/null >"$logs/holder.out" 2>"$logs/holder.err" &
holder=$!
wait_file "$logs/holder.err" '^\[upload'
check "lock: the first run is let in" grep -q '^\[upload' "$logs/holder.err"
run busy upgrade "${devices[2]}" --dry-run --json
# The holder's Windows pid: the one qel-upgrade-cli.exe left running.
holder_pid=$(wine wmic process get name,processid 2>/dev/null | iconv -f UTF-16 -t UTF-8 |
  tr -d '\r' | awk '$1 == "qel-upgrade-cli.exe" { print $2 }')
kill -INT "$holder"
wait "$holder"
echo $? >"$logs/holder.rc"
kill "$name_holder" 2>/dev/null
wait "$name_holder" 2>/dev/null
check "busy: exit 7" test "$(rc_of busy)" = 7
check "busy: result busy" json_is busy result busy
check "busy: the message names the holder's pid ($holder_pid)" \
  grep -qE "is upgrading ${devices[2]} \(pid ${holder_pid:-none}[,:)]" "$logs/busy.err"
check "busy: and its command line" \
  grep -qE "qel-upgrade-cli\.exe\"? upgrade ${devices[2]} --yes --json\)" "$logs/busy.err"
check "busy: the holder ends at Ctrl-C (exit 3)" test "$(rc_of holder)" = 3

if ! checks_passed; then
  say "logs in $logs"
  for f in "$logs"/*.err; do echo "--- $f"; tail -n 15 "$f"; done
  exit 1
fi
say "Windows's side passed"
