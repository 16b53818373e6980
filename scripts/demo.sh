#!/usr/bin/env bash
# Upgrades a simulated QEL device with the wizard, on this machine only.
# The device (127.0.0.2, web server on port 80) and the wizard's TFTP server
# (port 69) run in a private network namespace, so nothing leaves loopback.
#   scripts/demo.sh          the device's 30-second reflash wait at real speed
#   scripts/demo.sh --fast   the wizard's clock runs 10 times faster
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scale=1 reboot=5
[ "${1:-}" = "--fast" ] && scale=10 reboot=1

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target qel-upgrade-scripted qel-device-sim

bin=$root/build/default
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
{ cat scripts/demo.script; echo "clock $scale"; } >"$work/demo.script"

netns=(unshare --net)
[ "$(id -u)" -eq 0 ] || netns=(unshare --net --map-root-user)
if ! "${netns[@]}" true 2>/dev/null; then
  echo "demo: cannot create a private network namespace (${netns[*]})." >&2
  echo "      Run it as root, or enable unprivileged user namespaces." >&2
  exit 1
fi

echo "Simulated QEL device at 127.0.0.2 (password \"demo\"); the wizard types 127.0.0.2 for you."
echo
"${netns[@]}" bash -c '
  set -e
  ip link set lo up
  "$1/tools/device-sim/qel-device-sim" --address 127.0.0.2 --http-port 80 --password demo \
      --software "5.1.2(GR)" --reboot-seconds "$3" --time-limit 600 \
      --log "$2/device.log" --verdict "$2/verdict.json" --port-file "$2/port" &
  sim=$!
  for _ in $(seq 50); do [ -s "$2/port" ] && break; sleep 0.1; done
  status=0
  "$1/frontends/scripted/qel-upgrade-scripted" --script "$2/demo.script" \
      --transcript "$2/transcript.jsonl" --echo || status=$?
  kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true
  echo
  echo "Device verdict: $(cat "$2/verdict.json")"
  exit $status
' demo "$bin" "$work" "$reboot"
