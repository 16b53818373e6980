#!/usr/bin/env bash
# The Windows console program (qel-upgrade-cli.exe) under Wine, on the LAN of
# tests/lan/lan.sh, against the device simulator: what Windows itself does
# for it (adapters and subnets, sockets, the console writer, access lists,
# the named mutex) is Wine's here, the rest is the program's own code.
#
#   tests/wine/cli_test.sh --exe qel-upgrade-cli.exe --sim qel-device-sim \
#       --image target.bin --work DIR
#
# One wineserver runs for the whole test, started inside the LAN's network
# namespace, so GetAdaptersAddresses lists the LAN's interfaces; its prefix
# is a copy of the Wine acceptance test's template (made here when missing).
# The upgrades run at real speed (the device's 30-second wait included), side
# by side on devices of their own. Exit status: 0 passed, 1 failed, 77 cannot
# run here.
set -uo pipefail

exe="" sim="" image="" work="" inside=0
while [ $# -gt 0 ]; do
  case "$1" in
    --exe) exe=$(realpath "$2"); shift 2 ;;
    --sim) sim=$(realpath "$2"); shift 2 ;;
    --image) image=$(realpath "$2"); shift 2 ;;
    --work) mkdir -p "$2" && work=$(realpath "$2"); shift 2 ;;
    --inside) inside=1; shift ;;
    *) echo "cli_test: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$exe" ] || [ -z "$sim" ] || [ -z "$image" ] || [ -z "$work" ]; then
  echo "usage: $0 --exe EXE --sim SIM --image TARGET_BIN --work DIR" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)

if [ "$inside" -eq 0 ]; then
  for tool in wine wineboot wineserver /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "cli_test: SKIPPED, missing $tool" >&2; exit 77; }
  done
  [ "$(id -u)" -eq 0 ] || { echo "cli_test: SKIPPED, needs root (TFTP port 69, namespaces)" >&2; exit 77; }
  exec "$here/../lan/lan.sh" --devices 7 -- "$0" --inside --exe "$exe" --sim "$sim" \
    --image "$image" --work "$work"
fi

# ---- on the LAN: this is the PC (198.51.100.10 and 203.0.113.10) -----------

read -r -a devices <<<"$LAN_DEVICES"
readonly PASSWORD='s3cret!'
logs="$work/cli-logs"
rm -rf "$logs"
mkdir -p "$logs"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY  # a console program: no window may be needed

template="$work/wine-template"
wine_version=$(wine --version)
if [ "$(cat "$template/.qel-wine-version" 2>/dev/null)" != "$wine_version" ]; then
  echo "cli_test: preparing the Wine prefix template ($wine_version)"
  rm -rf "$template"
  WINEPREFIX="$template" wineboot -i >"$logs/wineboot.log" 2>&1
  WINEPREFIX="$template" wineserver -w
  [ -f "$template/system.reg" ] || { echo "cli_test: wineboot failed" >&2; exit 1; }
  echo "$wine_version" >"$template/.qel-wine-version"
fi
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
# scan_has NAME ADDRESS PASSWORD_REQUIRED: a scan line for the address.
scan_has() {
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
start_device 1 plain
start_device 2 current --software 5.2.5
start_device 3 gone --never-return
start_device 4 dry
# Slow acknowledgements: the transfer lasts seconds, long enough for Ctrl-C.
start_device 5 slow --ack-delay all --ack-delay-ms 5
# A product name of Latin-1 and C1 bytes, for the console writer.
start_device 6 accent --product $'Caf\xe9 QEL\x9b2J'

echo "cli_test: scan"
run scan-prefix scan 198.51.100.0/24 --json
check scan-prefix "exit 0" test "$(rc_of scan-prefix)" = 0
check scan-prefix "the seven devices, no other address" test "$(lines_of scan-prefix)" = 7
check scan-prefix "the locked device asks for a password" scan_has scan-prefix "${devices[0]}" true
check scan-prefix "an open device does not" scan_has scan-prefix "${devices[1]}" false
# Without a prefix the subnets come from the PC's adapters (GetAdaptersAddresses).
run scan-adapters scan --json
check scan-adapters "exit 0" test "$(rc_of scan-adapters)" = 0
check scan-adapters "the adapters' subnets hold the devices" test "$(lines_of scan-adapters)" = 7
check scan-adapters "both interfaces' subnets scanned (2 x 254 hosts)" \
  has scan-adapters "among 508 addresses" err

# On a console (a pseudo-terminal gives Wine one) the table is written as
# UTF-16 to the console: the device's Latin-1 byte shows as its character,
# its C1 byte as '?', and no byte is re-read in a code page.
script -qec "wine '$exe' scan ${devices[6]}/32" /dev/null </dev/null >"$logs/console.out" 2>&1
check console "a device's Latin-1 text shows as UTF-8 on the console" \
  grep -q $'Caf\xc3\xa9 QEL?2J' "$logs/console.out"

echo "cli_test: password files"
printf '%s\n' "$PASSWORD" >"$logs/open.pw"
chmod 644 "$logs/open.pw"
requests=$(grep -c '^HTTP-REQ' "$logs/locked-device.log")
run open-pw upgrade "${devices[0]}" --password-file "$logs/open.pw" --yes --json
check open-pw "a file others may read is refused (exit 2)" test "$(rc_of open-pw)" = 2
check open-pw "the message names who may read it" has open-pw "may be read or changed by others" err
check open-pw "the device was not contacted" \
  test "$(grep -c '^HTTP-REQ' "$logs/locked-device.log")" = "$requests"

echo "cli_test: upgrades (each waits out the device's restart)"
printf '%s\n' "$PASSWORD" >"$logs/private.pw"
chmod 600 "$logs/private.pw"
runs=()
wine "$exe" upgrade "${devices[5]}" --yes --json </dev/null >"$logs/ctrl-c.out" 2>"$logs/ctrl-c.err" &
interrupted=$!
run password upgrade "${devices[0]}" --password-file "$logs/private.pw" --yes --json &
runs+=($!)
run current upgrade "${devices[2]}" --yes --json &
runs+=($!)
run gone upgrade "${devices[3]}" --yes --json &
runs+=($!)
run dry upgrade "${devices[4]}" --dry-run --json &
runs+=($!)
# Ctrl-C (Wine turns SIGINT into the console's CTRL_C_EVENT) once the image
# is on its way: the wizard's Cancel, the transfer ends, nothing is flashed.
for _ in $(seq 600); do
  grep -q '^\[upload' "$logs/ctrl-c.err" 2>/dev/null && break
  sleep 0.1
done
kill -INT "$interrupted"
# A second run for a device that another run holds is not let in.
for _ in $(seq 600); do
  grep -q '^\[reflash' "$logs/gone.err" 2>/dev/null && break
  sleep 0.1
done
run busy upgrade "${devices[3]}" --dry-run --json
wait "$interrupted"
echo $? >"$logs/ctrl-c.rc"
# Each ends by itself: the program's own limits bound every wait.
wait "${runs[@]}"

check password "exit 0" test "$(rc_of password)" = 0
check password "result upgraded" json_is password result upgraded
check password "the device reports the target version" json_is password version_after 5.2.5
check password "the device took the image" json_is password image_delivered true
check password "nothing of the password in the output" sh -c "! grep -qF '$PASSWORD' '$logs/password.out' '$logs/password.err'"

check current "exit 0" test "$(rc_of current)" = 0
check current "result current" json_is current result current
check current "no image sent" json_is current image_delivered false

check gone "exit 5" test "$(rc_of gone)" = 5
check gone "result unverified" json_is gone result unverified
check gone "the wizard's message" json_is gone message "Upgrade Failed: No Response From QEL"

check dry "exit 0" test "$(rc_of dry)" = 0
check dry "result dry-run" json_is dry result dry-run
check dry "the target version is named" json_is dry version_target 5.2.5
check dry "no image sent" json_is dry image_delivered false

check ctrl-c "exit 3" test "$(rc_of ctrl-c)" = 3
check ctrl-c "result aborted" json_is ctrl-c result aborted
check ctrl-c "the wizard's own abort" has ctrl-c "Upgrade Failed: User Abort" err
check ctrl-c "the transfer was cut" grep -q 'TFTP-END failed' "$logs/slow-device.log"
check ctrl-c "the device was not flashed" sh -c "! grep -q REBOOT '$logs/slow-device.log'"

check busy "exit 7" test "$(rc_of busy)" = 7
check busy "result busy" json_is busy result busy

echo "cli_test: usage"
run usage upgrade 198.51.100.256 --yes
check usage "a bad address is a usage error (exit 2)" test "$(rc_of usage)" = 2
check usage "said once, on standard error" \
  test "$(cat "$logs/usage.err")" = "qel-upgrade upgrade: not an IPv4 address: 198.51.100.256"

if [ "$failures" -gt 0 ]; then
  echo "cli_test: $failures check(s) failed; logs in $logs"
  for f in "$logs"/*.err; do echo "--- $f"; tail -n 15 "$f"; done
  exit 1
fi
echo "cli_test: all checks passed"
