# Shared by the desktop and terminal tests: skipping, a private network
# namespace with the device simulator in it, waiting with a deadline, and the
# template and control numbers by name. Sourced, not run.

SKIP=77

# Every name of resources/ids.h as a shell variable: IDD_WARNING=139, ...
eval "$(awk '$1 == "#define" && $3 ~ /^[0-9]+$/ { print $2 "=" $3 }' \
  "$(dirname "${BASH_SOURCE[0]}")/../../resources/ids.h")"

skip() {
  echo "SKIP: $*"
  exit $SKIP
}

fail() {
  echo "FAIL: $*" >&2
  [ -n "${ON_FAIL:-}" ] && eval "$ON_FAIL" >&2
  exit 1
}

need() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
  done
}

# Re-runs this script inside a private network namespace with loopback up,
# where ports 69 and 80 are free and nothing else on the machine is reached.
enter_namespace() {
  if [ -z "${QEL_IN_NAMESPACE:-}" ]; then
    need unshare ip
    unshare --net --map-root-user true >/dev/null 2>&1 || skip "cannot make a network namespace here"
    export QEL_IN_NAMESPACE=1
    exec unshare --net --map-root-user "$0" "$@"
  fi
  ip link set lo up || fail "cannot bring loopback up"
}

# Polls a shell condition every 0.1 s until it holds or the seconds run out.
wait_until() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until eval "$@"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}

# The device at 127.0.0.2:80, reflashing in 5 s; its verdict is written when
# it stops. Further arguments go to the simulator.
start_device() {
  local out=$1
  shift
  "$SIM" --address 127.0.0.2 --http-port 80 --reboot-seconds 5 --time-limit 170 \
    --log "$out/device.log" --verdict "$out/device.json" "$@" >"$out/device.out" 2>&1 &
  DEVICE_PID=$!
  wait_until 10 "grep -q '^START' '$out/device.log' 2>/dev/null" || fail "the device simulator did not start"
}

# In the upgrade runs the device first asks for a wrong file and only 3 s
# later for the right one, so that the waiting dialog stays on the screen
# (beside the Connecting dialog of the upgrade request) long enough to be
# seen, and the listener is seen to ignore the wrong request.
SLOW_REQUEST=(--wrong-name-first /qelwrong.bi1 --wrong-name-pause-ms 3000)

stop_device() {
  if [ -n "${DEVICE_PID:-}" ]; then
    kill "$DEVICE_PID" 2>/dev/null
    wait "$DEVICE_PID" 2>/dev/null
    DEVICE_PID=
  fi
}
