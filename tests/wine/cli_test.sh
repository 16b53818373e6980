#!/usr/bin/env bash
# The Windows console program (qel-upgrade-cli.exe) under Wine, against the
# device simulator on the namespace LAN of tests/lan/lan.sh: what Windows
# itself does for it (adapters and subnets, sockets, the console, access
# lists, the named mutex, Ctrl-C) is Wine's here, the rest is the program's
# own code.
#
#   tests/wine/cli_test.sh --exe qel-upgrade-cli.exe --sim qel-device-sim \
#       --image target.bin --work DIR [--admin-tests qel_admin_tests \
#       [--admin-exe qel-upgrade-cli-testable.exe]]
#
# First the administrators' tests that say the same of both programs run
# with QEL_ADMIN_PROGRAM="wine EXE" (their own LAN; scan, an upgrade with a
# password file, dry run and a declined confirmation, Ctrl-C, unverified
# and unreachable devices, usage errors); without --admin-tests they are
# skipped, and said to be. With --admin-exe they run that test build
# instead, on the Linux cases' test clock, and the upgrade with a password
# file runs once more with EXE itself at real speed. Then this script's LAN
# checks what only Windows has: the adapters' subnets, the console writer, a
# password file's access list, the named mutex, and a current device (the
# Linux side checks that one inside a fleet, which the console program does
# not have).
# A wineserver starts inside each LAN's network namespace, so
# GetAdaptersAddresses lists that LAN's interfaces; the prefix is a copy of a
# template kept in WORK (made here when missing). EXE's upgrades run at real
# speed, the device's 30-second wait included.
# Exit status: 0 passed, 1 failed, 77 cannot run here.
set -uo pipefail

readonly SHARED_CASES='AdminTest.ScanListsTheDevicesOfTheSubnetsAndNothingElse:AdminTest.UpgradeWithAPasswordFile:AdminTest.DryRunAndDeclinedConfirmationSendNoUpgradeRequest:AdminTest.CtrlCDuringTheTransferAbortsAndTheDeviceKeepsItsVersion:AdminTest.FailuresEndWithTheWizardsMessageAndTheirExitCode'

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
here=$(cd "$(dirname "$0")" && pwd)
logs="$work/cli-logs"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY  # a console program: no window may be needed
template="$work/wine-template"

if [ "$inside" -eq 0 ]; then
  for tool in wine wineboot wineserver script /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "cli_test: SKIPPED, missing $tool" >&2; exit 77; }
  done
  [ "$(id -u)" -eq 0 ] || { echo "cli_test: SKIPPED, needs root (TFTP port 69, namespaces)" >&2; exit 77; }
  case "$exe" in *[[:space:]]*) echo "cli_test: the program's path may hold no blank: $exe" >&2; exit 2 ;; esac
  rm -rf "$logs"
  mkdir -p "$logs"
  # shellcheck source=tests/wine/prefix.sh
  . "$here/prefix.sh"
  wine_prefix_template "$template" "$logs/wineboot.log" || exit 1
  status=0
  if [ -n "$admin_tests" ] && [ -x "$admin_tests" ]; then
    echo "cli_test: the administrators' shared cases, under Wine"
    shared_prefix="$work/cli-shared-prefix"
    rm -rf "$shared_prefix"
    cp -a "$template" "$shared_prefix"
    WINEPREFIX="$shared_prefix" QEL_ADMIN_PROGRAM="wine ${admin_exe:-$exe}" "$admin_tests" \
      --gtest_filter="$SHARED_CASES" >"$logs/shared.log" 2>&1
    shared=$?
    grep -E '^\[ +(OK|FAILED|SKIPPED) +\]|measured' "$logs/shared.log" | sed 's/^/  /'
    if [ $shared -ne 0 ]; then
      echo "cli_test: the shared cases failed (exit $shared); log: $logs/shared.log"
      status=1
    fi
    if [ -n "$admin_exe" ]; then
      # The product's own clock: one whole upgrade, the device's wait included.
      echo "cli_test: one shared case with $(basename "$exe") at real speed"
      WINEPREFIX="$shared_prefix" QEL_ADMIN_PROGRAM="wine $exe" "$admin_tests" \
        --gtest_filter=AdminTest.UpgradeWithAPasswordFile >"$logs/shared-real.log" 2>&1
      shared=$?
      grep -E '^\[ +(OK|FAILED|SKIPPED) +\]|measured' "$logs/shared-real.log" | sed 's/^/  /'
      if [ $shared -ne 0 ]; then
        echo "cli_test: the real-speed case failed (exit $shared); log: $logs/shared-real.log"
        status=1
      fi
    fi
    rm -rf "$shared_prefix"
  else
    echo "cli_test: SKIPPED the administrators' shared cases (no --admin-tests program;" \
      "the host build needs QEL_BUILD_TESTS=ON)"
  fi
  "$here/../lan/lan.sh" --devices 4 -- "$0" --inside --exe "$exe" --sim "$sim" \
    --image "$image" --work "$work"
  lan=$?
  [ $lan -ne 0 ] && { [ $status -eq 0 ] || [ $lan -ne 77 ]; } && status=$lan
  exit $status
fi

# ---- on the LAN: this is the PC (198.51.100.10 and 203.0.113.10) -----------

read -r -a devices <<<"$LAN_DEVICES"
readonly PASSWORD='s3cret!'
export WINEPREFIX="$work/cli-prefix"
rm -rf "$WINEPREFIX"
cp -a "$template" "$WINEPREFIX"
# The one wineserver of the test, in this namespace, kept until the end.
wineserver -p
sims=()
cleanup() {
  local pid
  for pid in "${sims[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  wineserver -k 2>/dev/null
  wait 2>/dev/null
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

failures=0
check() {  # check NAME CONDITION-TEXT COMMAND...
  local name=$1 what=$2
  shift 2
  if "$@"; then
    echo "  ok    $name: $what"
  else
    echo "  FAIL  $name: $what"
    failures=$((failures + 1))
  fi
}

# A device of the LAN: start_device N NAME ARGS...
start_device() {
  local n=$1 name=$2
  shift 2
  nsenter --net="$LAN_DEVICE_NETNS" "$sim" --address "${devices[$n]}" --allow-any-address \
    --http-port 80 --reference "$image" --reboot-seconds 1 --time-limit 400 \
    --verdict "$logs/$name-verdict.json" --log "$logs/$name-device.log" \
    --port-file "$logs/$name-port" "$@" >"$logs/$name-sim.out" 2>&1 &
  sims+=($!)
  for _ in $(seq 100); do
    [ -s "$logs/$name-port" ] && return 0
    sleep 0.1
  done
  echo "cli_test: the simulator for $name did not start" >&2
  exit 1
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
has() {
  /usr/bin/python3 - "$logs/$1.out" "$2" "$3" <<'EOF'
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8") if l.strip()]
hit = [r for r in rows if r["address"] == sys.argv[2]]
sys.exit(0 if len(hit) == 1 and str(hit[0]["password_required"]).lower() == sys.argv[3] else 1)
EOF
}
lines_of() { grep -c . "$logs/$1.out"; }
has() { grep -qF -- "$2" "$logs/$1.$3"; }

start_device 0 locked --password "$PASSWORD"
start_device 1 current --software 5.2.5
# Slow acknowledgements: a run that holds the device for a while.
start_device 2 slow --ack-delay all --ack-delay-ms 5
# A product name of Latin-1 and C1 bytes, for the console writer.
start_device 3 accent --product $'Caf\xe9 QEL\x9b2J'

echo "cli_test: Windows's side"
# On a console (a pseudo-terminal gives Wine one) the table is written as
# UTF-16 to the console: the device's Latin-1 byte shows as its character,
# its C1 byte as '?', and no byte is re-read in a code page.
script -qec "wine '$exe' scan ${devices[3]}/32" /dev/null </dev/null >"$logs/console.out" 2>&1
check console "a device's Latin-1 text shows as UTF-8 on the console" \
  grep -q $'Caf\xc3\xa9 QEL?2J' "$logs/console.out"

# A password file that Everyone may read (what Wine's access list shows of
# mode 644) is refused before the device is contacted.
printf '%s\n' "$PASSWORD" >"$logs/open.pw"
chmod 644 "$logs/open.pw"
run open-pw upgrade "${devices[0]}" --password-file "$logs/open.pw" --yes --json
check open-pw "refused (exit 2)" test "$(rc_of open-pw)" = 2
check open-pw "the message names who may read it" has open-pw "Everyone (S-1-1-0) may read or change it" err
check open-pw "the device was not contacted" sh -c "! grep -q '^HTTP-REQ' '$logs/locked-device.log'"

# Typed at the console, the password is not shown: the console's echo is
# off while it is read, and the device accepts it.
# Typed once the prompt is there: what a terminal gets before the program
# runs is echoed by the terminal itself.
: >"$logs/typed.out"
{
  for _ in $(seq 600); do
    grep -q 'Password for' "$logs/typed.out" && break
    sleep 0.1
  done
  sleep 0.5
  printf '%s\r' "$PASSWORD"
} | timeout 120 script -qec "wine '$exe' upgrade ${devices[0]} --dry-run --json" /dev/null \
  >"$logs/typed.out" 2>&1
check typed "the typed password was accepted (dry run)" grep -q '"result":"dry-run"' "$logs/typed.out"
check typed "the prompt was shown" grep -q "Password for admin@${devices[0]}:" "$logs/typed.out"
check typed "the password was not echoed" sh -c "! grep -qF '$PASSWORD' '$logs/typed.out'"

run current upgrade "${devices[1]}" --yes --json
check current "exit 0" test "$(rc_of current)" = 0
check current "result current" json_is current result current
check current "no image sent" json_is current image_delivered false

# A second run for a device that another run holds is not let in; the
# holder then ends at Ctrl-C (Wine turns SIGINT into CTRL_C_EVENT).
wine "$exe" upgrade "${devices[2]}" --yes --json </dev/null >"$logs/holder.out" 2>"$logs/holder.err" &
holder=$!
for _ in $(seq 600); do
  grep -q '^\[upload' "$logs/holder.err" 2>/dev/null && break
  sleep 0.1
done
run busy upgrade "${devices[2]}" --dry-run --json
kill -INT "$holder"
wait "$holder"
echo $? >"$logs/holder.rc"
check busy "exit 7" test "$(rc_of busy)" = 7
check busy "result busy" json_is busy result busy
check busy "the holder ends at Ctrl-C (exit 3)" test "$(rc_of holder)" = 3

if [ "$failures" -gt 0 ]; then
  echo "cli_test: $failures check(s) failed; logs in $logs"
  for f in "$logs"/*.err; do echo "--- $f"; tail -n 15 "$f"; done
  exit 1
fi
echo "cli_test: Windows's side passed"
