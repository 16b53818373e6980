#!/usr/bin/env bash
# The Windows console program (qel-upgrade-cli.exe) under Wine, against the
# device simulator on the namespace LAN of tests/lan/lan.sh: what Windows
# itself does for it (adapters and subnets, sockets, the console, access
# lists, the named mutex, Ctrl-C) is Wine's here, the rest is the program's
# own code.
#
#   tests/wine/cli_test.sh --exe qel-upgrade-cli.exe --sim qel-device-sim \
#       --image target.bin --work DIR [--admin-tests qel_admin_tests]
#
# First the administrators' tests that say the same of both programs (the
# suite SharedAdminTest: scan, an upgrade with a password file, dry run and
# a declined confirmation, Ctrl-C, unverified and unreachable devices, usage
# errors) run with QEL_ADMIN_PROGRAM="wine EXE", on their own LAN; they fail
# unless every case the suite lists passed, five at least. Without
# --admin-tests they are skipped, and said to be. Then this script's LAN
# checks what only Windows has: the console writer, a password typed without
# echo, a password file's access list, the named mutex; and a current device.
# A wineserver starts inside each LAN's network namespace, so
# GetAdaptersAddresses lists that LAN's interfaces; the prefix is a copy of a
# template (QEL_WINE_TEMPLATE, else one kept in WORK, made here when
# missing). The upgrades run at real speed, the device's 30-second wait
# included.
# Exit status: 0 passed, 1 failed, 77 cannot run here.
set -uo pipefail

exe="" sim="" image="" work="" admin_tests="" inside=0
while [ $# -gt 0 ]; do
  case "$1" in
    --exe) exe=$(realpath "$2"); shift 2 ;;
    --sim) sim=$(realpath "$2"); shift 2 ;;
    --image) image=$(realpath "$2"); shift 2 ;;
    --work) mkdir -p "$2" && work=$(realpath "$2"); shift 2 ;;
    --admin-tests) admin_tests=$(realpath "$2"); shift 2 ;;
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
  need wine wineboot wineserver script /usr/bin/python3
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
    WINEPREFIX="$shared_prefix" run_shared_cases SharedAdminTest 5 "$admin_tests" "wine $exe" \
      "$logs/shared.log" || status=1
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
check "open-pw: the message names who may read it" has open-pw "may be read or changed by others" err
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

# A second run for a device that another run holds is not let in; the
# holder then ends at Ctrl-C (Wine turns SIGINT into CTRL_C_EVENT).
wine "$exe" upgrade "${devices[2]}" --yes --json </dev/null >"$logs/holder.out" 2>"$logs/holder.err" &
holder=$!
wait_file "$logs/holder.err" '^\[upload'
run busy upgrade "${devices[2]}" --dry-run --json
kill -INT "$holder"
wait "$holder"
echo $? >"$logs/holder.rc"
check "busy: exit 7" test "$(rc_of busy)" = 7
check "busy: result busy" json_is busy result busy
check "busy: the holder ends at Ctrl-C (exit 3)" test "$(rc_of holder)" = 3

if ! checks_passed; then
  say "logs in $logs"
  for f in "$logs"/*.err; do echo "--- $f"; tail -n 15 "$f"; done
  exit 1
fi
say "Windows's side passed"
