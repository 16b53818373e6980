# shellcheck shell=bash
# Shared by the desktop, terminal and package tests, on top of the tests'
# library (tests/lib/test_lib.sh: skip, fail, need, wait_until,
# enter_namespace...): the template and control numbers by name, and the
# device at 127.0.0.2. Sourced, not run.

# shellcheck source=tests/lib/test_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../lib/test_lib.sh" || return 1

# Every name of resources/ids.h as a shell variable: IDD_WARNING=139, ...
eval "$(awk '$1 == "#define" && $3 ~ /^[0-9]+$/ { print $2 "=" $3 }' \
  "$(dirname "${BASH_SOURCE[0]}")/../../resources/ids.h")"

# The device at 127.0.0.2:80 ($SIM), reflashing in 5 s; its verdict is
# written when it stops. Further arguments go to the simulator.
start_device() {
  local out=$1
  shift
  sim_start "$out/device.port" "$out/device.out" "$SIM" --address 127.0.0.2 --http-port 80 \
    --reboot-seconds 5 --time-limit 170 --log "$out/device.log" --verdict "$out/device.json" "$@" ||
    fail "the device simulator did not start"
}

# In the upgrade runs the device first asks for a wrong file and only 3 s
# later for the right one, so that the waiting dialog stays on the screen
# (beside the Connecting dialog of the upgrade request) long enough to be
# seen, and the listener is seen to ignore the wrong request.
SLOW_REQUEST=(--wrong-name-first /qelwrong.bi1 --wrong-name-pause-ms 3000)

stop_device() { sims_stop; }
