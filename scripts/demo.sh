#!/usr/bin/env bash
# Upgrades a simulated QEL device with the wizard, on this machine only.
# The device (127.0.0.2, web server on port 80, password "demo") and the
# wizard's TFTP server (port 69) run in a private network namespace, so
# nothing leaves loopback.
#   scripts/demo.sh            desktop dialogs with a display, the terminal
#                              wizard in a terminal, else a scripted run that
#                              prints each dialog
#   scripts/demo.sh --script   the scripted run, wherever
#   scripts/demo.sh --fast     the scripted run with the wizard's clock 10x faster
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=auto scale=1 reboot=5
case "${1:-}" in
  --script) mode=script ;;
  --fast) mode=script scale=10 reboot=1 ;;
  "") ;;
  *) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
if [ $mode = auto ]; then
  if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || [ -t 0 -a -t 1 ]; then mode=person; else mode=script; fi
fi

scripts/install-deps.sh build desktop
cmake --preset default >/dev/null
targets=(qel-device-sim qel-upgrade-scripted)
[ $mode = person ] && targets+=(qel-upgrade)
echo "Building (the first build takes a few minutes)..."
build_log=$(mktemp)
cmake --build --preset default --target "${targets[@]}" >"$build_log" 2>&1 ||
  { cat "$build_log"; rm -f "$build_log"; exit 1; }
rm -f "$build_log"

bin=$root/build/default
work=$(mktemp -d)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
{ cat scripts/demo.script; echo "clock $scale"; } >"$work/demo.script"
# Inside the namespace the PC is "qel-demo-pc" at 127.0.0.1, whatever this
# machine's own name resolves to.
printf '127.0.0.1 localhost qel-demo-pc\n' >"$work/hosts"

netns=(unshare --net --uts --mount)
[ "$(id -u)" -eq 0 ] || netns=(unshare --net --uts --mount --map-root-user)
if ! "${netns[@]}" true 2>/dev/null; then
  echo "demo: cannot create a private network namespace (${netns[*]})." >&2
  echo "      Run it as root, or enable unprivileged user namespaces." >&2
  exit 1
fi

if [ $mode = person ]; then
  echo "A simulated QEL device is waiting at 127.0.0.2; its administrator password is \"demo\"."
  echo "Type 127.0.0.2 when the wizard asks for the QEL's IP address."
  # The terminal wizard takes over the screen: let the hint be read first.
  if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then read -r -p "Press Enter to start the wizard. "; fi
else
  echo "Simulated QEL device at 127.0.0.2 (password \"demo\"); the script answers every dialog."
fi
echo

"${netns[@]}" bash -c '
  set -e
  bin=$1 work=$2 reboot=$3 mode=$4
  ip link set lo up
  hostname qel-demo-pc
  mount --bind "$work/hosts" /etc/hosts
  "$bin/tools/device-sim/qel-device-sim" --address 127.0.0.2 --http-port 80 --password demo \
      --software "5.1.2(GR)" --reboot-seconds "$reboot" --time-limit 900 \
      --log "$work/device.log" --verdict "$work/verdict.json" --port-file "$work/port" &
  sim=$!
  for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
  status=0
  if [ "$mode" = person ]; then
    "$bin/qel-upgrade" || status=$?
  else
    "$bin/frontends/scripted/qel-upgrade-scripted" --script "$work/demo.script" \
        --transcript "$work/transcript.jsonl" --echo || status=$?
  fi
  kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true
  echo
  echo "What the device says: $(cat "$work/verdict.json")"
  exit $status
' demo "$bin" "$work" "$reboot" "$mode"
