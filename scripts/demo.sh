#!/usr/bin/env bash
# Upgrades a simulated QEL device with the wizard, on this machine only.
# The device (198.51.100.20, password "demo") and this PC (198.51.100.10 and
# a second interface, 203.0.113.10) form a small LAN in private namespaces
# (tests/lan/lan.sh), so nothing reaches a real network.
#   scripts/demo.sh            desktop dialogs with a display, the terminal
#                              wizard in a terminal, else a scripted run that
#                              prints each dialog
#   scripts/demo.sh --script   the scripted run, wherever
#   scripts/demo.sh --fast     the scripted run with the wizard's clock 10x faster
#   scripts/demo.sh --help     this text
# Needs root, or unprivileged user namespaces. QEL_DEMO_BUILD=DIR runs the
# programs already built in DIR (nothing installed, nothing built).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

readonly DEVICE=198.51.100.20 PC=198.51.100.10 PASSWORD=demo
readonly PRODUCT=QEL-742 SOFTWARE="5.1.2(GR)"

mode=auto scale=1 reboot=5
case "${1:-}" in
  --script) mode=script ;;
  --fast) mode=script scale=10 reboot=1 ;;
  "") ;;
  -h | --help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
display=""
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && display=yes
if [ $mode = auto ]; then
  if [ -n "$display" ] || [ -t 0 -a -t 1 ]; then mode=person; else mode=script; fi
fi

if [ -n "${QEL_DEMO_BUILD:-}" ]; then
  bin=$(realpath "$QEL_DEMO_BUILD")
else
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
fi
sim=$bin/tools/device-sim/qel-device-sim
wizard=$bin/qel-upgrade
[ $mode = script ] && wizard=$bin/qel-upgrade-scripted
for program in "$sim" "$wizard"; do
  [ -x "$program" ] || { echo "demo: $program is not built" >&2; exit 1; }
done

# Exit 77 (no namespaces here) is passed on: the demo's test skips then.
status=0
tests/lan/lan.sh true || status=$?
if [ $status -ne 0 ]; then
  echo "demo: cannot build the demo's private LAN (above)." >&2
  exit $status
fi

work=$(mktemp -d)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
{ cat scripts/demo.script; echo "clock $scale"; } >"$work/demo.script"
reference=()
[ -f "$bin/resources/target.bin" ] && reference=(--reference "$bin/resources/target.bin")

# Under sudo X still wants the desktop user's cookie.
if [ -n "${DISPLAY:-}" ] && [ -z "${XAUTHORITY:-}" ] && [ -n "${SUDO_USER:-}" ]; then
  user_home=$(getent passwd "$SUDO_USER" | cut -d: -f6)
  [ -r "$user_home/.Xauthority" ] && export XAUTHORITY=$user_home/.Xauthority
fi

# Qt wants a private runtime folder; sudo and su leave none.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  mkdir -m 700 "$work/runtime"
  export XDG_RUNTIME_DIR=$work/runtime
fi

hints() {
  echo "A simulated $PRODUCT (software $SOFTWARE) waits at $DEVICE on a private"
  echo "LAN; this PC is $PC there. When the wizard asks:"
  echo "  Your IP Address    $PC (the first choice)"
  echo "  QEL's IP Address   $DEVICE"
  echo "  Password           $PASSWORD  (user admin)"
}
if [ $mode = person ]; then
  hints
  # The terminal wizard takes the whole screen: let the hints be read first.
  [ -z "$display" ] && read -r -p "Press Enter to start the wizard. "
  echo
else
  echo "A simulated $PRODUCT at $DEVICE (password \"$PASSWORD\"); this PC is $PC."
  echo "The script answers every dialog."
fi

# The PC's side of the LAN: the device on the other side, then the wizard.
status=0
tests/lan/lan.sh bash -c '
  sim=$1 wizard=$2 work=$3 mode=$4 reboot=$5 display=$6
  shift 6
  nsenter --net="$LAN_DEVICE_NETNS" "$sim" --allow-any-address --address '"$DEVICE"' \
      --http-port 80 --password '"$PASSWORD"' --product '"$PRODUCT"' --software "'"$SOFTWARE"'" \
      --reboot-seconds "$reboot" --time-limit 900 "$@" \
      --log "$work/device.log" --verdict "$work/verdict.json" --port-file "$work/port" &
  device=$!
  for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
  [ -s "$work/port" ] || { echo "demo: the simulated device did not start" >&2; exit 1; }
  status=0
  if [ "$mode" = script ]; then
    "$wizard" --script "$work/demo.script" --transcript "$work/transcript.jsonl" --echo || status=$?
  elif [ -n "$display" ]; then
    # Without a terminal the program cannot slip into the terminal wizard
    # unseen when the display does not open.
    "$wizard" </dev/null 2>"$work/wizard.err" || status=$?
    cat "$work/wizard.err" >&2
    if grep -q "no terminal" "$work/wizard.err" 2>/dev/null && [ -t 0 ] && [ -t 1 ]; then
      echo "The desktop dialogs could not open (above); the terminal wizard can run instead."
      read -r -p "Press Enter to start it. "
      status=0
      env -u DISPLAY -u WAYLAND_DISPLAY "$wizard" || status=$?
    fi
  else
    "$wizard" || status=$?
  fi
  kill "$device" 2>/dev/null
  wait "$device" 2>/dev/null
  exit $status
' demo "$sim" "$wizard" "$work" "$mode" "$reboot" "$display" "${reference[@]}" || status=$?

# What the device concluded, from its verdict (one transfer, flat JSON).
field() { grep -o "\"$1\":[^,}]*" "$work/verdict.json" | head -n 1 | cut -d: -f2- | tr -d '"'; }
echo
if [ -s "$work/verdict.json" ]; then
  after=$(field reported_version)
  echo "Summary"
  echo "  Device     $PRODUCT at $DEVICE"
  if [ "$(field reboots)" = 0 ]; then
    echo "  Software   $SOFTWARE, unchanged"
  else
    echo "  Software   $SOFTWARE before, $after after"
  fi
  if grep -q '"transfers":\[{' "$work/verdict.json"; then
    bytes=$(field bytes | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta')
    how=complete
    [ "$(field complete)" = true ] || how="incomplete: $(field error)"
    [ "$(field identical)" = true ] && how="$how, identical to the program's image"
    echo "  Transfer   $bytes bytes in $(field seconds) s, $how"
  else
    echo "  Transfer   none"
  fi
else
  echo "The device wrote no verdict (see above)."
fi
exit $status
