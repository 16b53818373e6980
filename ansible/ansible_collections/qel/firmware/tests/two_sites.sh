#!/usr/bin/env bash
# A measurement, not a test: a rollout to two sites with the collection's
# example playbook (playbooks/rollout.yml), timed against `qel-upgrade fleet`
# on the same simulated devices (one fleet per site, both at once).
#   tests/two_sites.sh QEL-UPGRADE-TESTABLE QEL-DEVICE-SIM [DEVICES-PER-SITE] [CLOCK-SCALE]
# Site north is the LAN of the project's tests/lan/lan.sh (its runner is the
# PC there); site south is a runner namespace and a devices' namespace made
# here, on 203.0.113.0/24. Ansible runs on the PC and reaches the south runner
# through the modules' binary, which runs the program inside that namespace
# (what ssh to the runner would do). Devices come back at the old version
# between the two runs. CLOCK-SCALE (default 1, the real waits) speeds up the
# program's clock.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
collection=$(cd "$here/.." && pwd)
project=$(cd "$collection/../../../.." && pwd)
testable=$(readlink -f "$1") sim=$(readlink -f "$2") per_site=${3:-3} scale=${4:-1}

if [ -z "${LAN_DEVICE_NETNS:-}" ]; then
  exec "$project/tests/lan/lan.sh" --devices "$per_site" -- "$0" "$@"
fi

work=$(mktemp -d /tmp/qel-two-sites.XXXXXX)
holders=()
sims=()
cleanup() {
  for p in "${sims[@]}" "${holders[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Site south: runner and devices, each a network namespace held by a sleeper.
unshare --net sleep infinity & holders+=($!); south_runner_pid=$!
unshare --net sleep infinity & holders+=($!); south_devices_pid=$!
south_runner=/proc/$south_runner_pid/ns/net south_devices=/proc/$south_devices_pid/ns/net
sleep 0.5
ip link add south0 netns "$south_runner_pid" type veth peer name eth0 netns "$south_devices_pid"
nsenter --net="$south_runner" sh -c 'ip link set lo up; ip addr add 203.0.113.10/24 dev south0; ip link set south0 up'
nsenter --net="$south_devices" ip link set lo up
south_addresses=()
for ((i = 0; i < per_site; ++i)); do
  south_addresses+=("203.0.113.$((20 + i))")
  nsenter --net="$south_devices" ip addr add "203.0.113.$((20 + i))/24" dev eth0
done
nsenter --net="$south_devices" ip link set eth0 up
read -r -a north_addresses <<<"$LAN_DEVICES"

printf 's3cret\n' >"$work/password"
chmod 600 "$work/password"
# The first device of each site asks for a password.
start_devices() {
  if [ ${#sims[@]} -gt 0 ]; then
    kill "${sims[@]}" 2>/dev/null || true
    wait "${sims[@]}" 2>/dev/null || true
  fi
  sims=()
  local netns address extra n=0
  for address in "${north_addresses[@]}" "${south_addresses[@]}"; do
    netns=$LAN_DEVICE_NETNS
    [[ $address == 203.* ]] && netns=$south_devices
    extra=()
    [[ $address == *.20 ]] && extra=(--password s3cret --qop auth)
    rm -f "$work/port.$address"
    nsenter --net="$netns" "$sim" --allow-any-address --address "$address" --http-port 80 \
      --port-file "$work/port.$address" --reboot-seconds 0.3 --time-limit 1200 "${extra[@]}" \
      --log "$work/log.$address" &
    sims+=($!)
  done
  for address in "${north_addresses[@]}" "${south_addresses[@]}"; do
    for _ in $(seq 100); do [ -f "$work/port.$address" ] && break; sleep 0.05; done
  done
}

printf '#!/bin/sh\nQEL_UPGRADE_TEST_CLOCK_SCALE=%s exec %s "$@"\n' "$scale" "$testable" >"$work/north"
printf '#!/bin/sh\nQEL_UPGRADE_TEST_CLOCK_SCALE=%s exec nsenter --net=%s %s "$@"\n' \
  "$scale" "$south_runner" "$testable" >"$work/south"
chmod 700 "$work/north" "$work/south"
{
  echo "runner-north ansible_connection=local ansible_python_interpreter=/usr/bin/python3 qel_binary=$work/north"
  echo "runner-south ansible_connection=local ansible_python_interpreter=/usr/bin/python3 qel_binary=$work/south"
  echo "localhost ansible_connection=local ansible_python_interpreter=/usr/bin/python3"
  echo "[runners]"; echo runner-north; echo runner-south
  echo "[site_north:vars]"; echo "site_runner=runner-north"; echo "qel_binary=$work/north"
  echo "[site_north]"
  for a in "${north_addresses[@]}"; do
    echo "north-${a##*.} ansible_host=$a$([[ $a == *.20 ]] && echo ' qel_password=s3cret')"
  done
  echo "[site_south:vars]"; echo "site_runner=runner-south"; echo "qel_binary=$work/south"
  echo "[site_south]"
  for a in "${south_addresses[@]}"; do
    echo "south-${a##*.} ansible_host=$a$([[ $a == *.20 ]] && echo ' qel_password=s3cret')"
  done
  echo "[qel_devices:children]"; echo site_north; echo site_south
} >"$work/inventory.ini"

export ANSIBLE_COLLECTIONS_PATH=$(cd "$collection/../../.." && pwd) ANSIBLE_NOCOLOR=1 \
  ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/rtmp ANSIBLE_RETRY_FILES_ENABLED=0

seconds_since() { local ms=$((($(date +%s%N) - $1) / 1000000)); printf "%d.%01d" $((ms / 1000)) $((ms % 1000 / 100)); }
start_devices
begin=$(date +%s%N)
status=0
ansible-playbook -i "$work/inventory.ini" -f 20 "$collection/playbooks/rollout.yml" \
  >"$work/rollout.out" 2>&1 || status=$?
ansible_seconds=$(seconds_since "$begin")
sed -n '/TASK \[Every device/,$p' "$work/rollout.out"
begin=$(date +%s%N)
ansible-playbook -i "$work/inventory.ini" -f 20 "$collection/playbooks/rollout.yml" \
  >"$work/again.out" 2>&1 || true
again_seconds=$(seconds_since "$begin")
grep -A20 '^PLAY RECAP' "$work/again.out" | grep -E 'north|south' | sed 's/^/second run: /'

start_devices
printf '%s\n' "${north_addresses[0]} admin $work/password" "${north_addresses[@]:1}" >"$work/north.txt"
printf '%s\n' "${south_addresses[0]} admin $work/password" "${south_addresses[@]:1}" >"$work/south.txt"
begin=$(date +%s%N)
QEL_UPGRADE_TEST_CLOCK_SCALE=$scale "$testable" fleet "$work/north.txt" --report "$work/north.csv" \
  2>/dev/null & north_fleet=$!
QEL_UPGRADE_TEST_CLOCK_SCALE=$scale nsenter --net="$south_runner" "$testable" fleet "$work/south.txt" \
  --report "$work/south.csv" 2>/dev/null & south_fleet=$!
wait $north_fleet || true
wait $south_fleet || true
fleet_seconds=$(seconds_since "$begin")
cut -d, -f1,4,5 "$work/north.csv" "$work/south.csv" | grep -v '^address' | sed 's/^/fleet: /'

echo "[ measured ] two sites, $per_site devices each, clock x$scale:" \
  "ansible-playbook rollout.yml $ansible_seconds s (exit $status), second run $again_seconds s;" \
  "qel-upgrade fleet per site, both at once, $fleet_seconds s"
