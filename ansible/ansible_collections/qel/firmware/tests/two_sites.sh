#!/usr/bin/env bash
# A measurement, not a test: a rollout to two sites with the collection's
# example playbook (playbooks/rollout.yml, with one canary and then the rest),
# timed against `qel-upgrade fleet --canary 1` on the same simulated devices
# (one fleet per site, both at once), and where Ansible's extra time goes.
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

# Like for like: the example rollout with one canary and then the rest
# (serial: [1, "100%"]) against each site's fleet with --canary 1. The
# recommended three waves stay the example's; the copy differs only there.
sed '/^    - "10%"$/d' "$collection/playbooks/rollout.yml" >"$work/rollout-like.yml"
grep -q '"10%"' "$work/rollout-like.yml" && { echo "two_sites: the example's waves changed" >&2; exit 1; }

export ANSIBLE_COLLECTIONS_PATH=$(cd "$collection/../../.." && pwd) ANSIBLE_NOCOLOR=1 \
  ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/rtmp ANSIBLE_RETRY_FILES_ENABLED=0 \
  ANSIBLE_HOME=$work/ansible-home
# Where Ansible's time goes: a callback of this measurement's own writes when
# each play (each wave is one) starts and when each host starts and ends each
# task, with what the module said the program took (its "seconds").
mkdir -p "$work/callbacks"
cat >"$work/callbacks/qel_timeline.py" <<'PY'
from __future__ import absolute_import, division, print_function
__metaclass__ = type
import json, os, time
from ansible.plugins.callback import CallbackBase
DOCUMENTATION = """
name: qel_timeline
type: aggregate
short_description: times of plays, tasks and hosts, for tests/two_sites.sh
description: [Writes one JSON line per event to QEL_TIMELINE.]
"""
class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'qel_timeline'
    CALLBACK_NEEDS_ENABLED = True
    def __init__(self):
        super(CallbackModule, self).__init__()
        self.out = open(os.environ['QEL_TIMELINE'], 'a')
        self.started = {}
    def write(self, **event):
        event['t'] = time.time()
        self.out.write(json.dumps(event) + '\n')
        self.out.flush()
    def v2_playbook_on_start(self, playbook):
        self.write(event='start')
    def v2_playbook_on_play_start(self, play):
        self.write(event='play', name=play.get_name())
    def v2_runner_on_start(self, host, task):
        self.started[(host.get_name(), task._uuid)] = time.time()
    def result(self, result, status):
        key = (result._host.get_name(), result._task._uuid)
        self.write(event='result', host=key[0], task=result._task.get_name(), status=status,
                   began=self.started.pop(key, None), seconds=result._result.get('seconds'))
    def v2_runner_on_ok(self, result):
        self.result(result, 'ok')
    def v2_runner_on_failed(self, result, ignore_errors=False):
        self.result(result, 'failed')
    def v2_playbook_on_stats(self, stats):
        self.write(event='end')
PY
export ANSIBLE_CALLBACK_PLUGINS=$work/callbacks ANSIBLE_CALLBACKS_ENABLED=qel_timeline \
  QEL_TIMELINE=$work/timeline.jsonl

seconds_since() { local ms=$((($(date +%s%N) - $1) / 1000000)); printf "%d.%01d" $((ms / 1000)) $((ms % 1000 / 100)); }
start_devices
begin=$(date +%s%N)
status=0
ansible-playbook -i "$work/inventory.ini" -f 20 "$work/rollout-like.yml" \
  >"$work/rollout.out" 2>&1 || status=$?
ansible_seconds=$(seconds_since "$begin")
sed -n '/TASK \[Every device/,$p' "$work/rollout.out"
mv "$work/timeline.jsonl" "$work/timeline-first.jsonl"
begin=$(date +%s%N)
ansible-playbook -i "$work/inventory.ini" -f 20 "$work/rollout-like.yml" \
  >"$work/again.out" 2>&1 || true
again_seconds=$(seconds_since "$begin")
grep -A20 '^PLAY RECAP' "$work/again.out" | grep -E 'north|south' | sed 's/^/second run: /'

start_devices
printf '%s\n' "${north_addresses[0]} admin $work/password" "${north_addresses[@]:1}" >"$work/north.txt"
printf '%s\n' "${south_addresses[0]} admin $work/password" "${south_addresses[@]:1}" >"$work/south.txt"
begin=$(date +%s%N)
QEL_UPGRADE_TEST_CLOCK_SCALE=$scale "$testable" fleet "$work/north.txt" --canary 1 \
  --report "$work/north.json" 2>/dev/null & north_fleet=$!
QEL_UPGRADE_TEST_CLOCK_SCALE=$scale nsenter --net="$south_runner" "$testable" fleet "$work/south.txt" \
  --canary 1 --report "$work/south.json" 2>/dev/null & south_fleet=$!
wait $north_fleet || true
wait $south_fleet || true
fleet_seconds=$(seconds_since "$begin")

/usr/bin/python3 - "$work" <<'PY'
import json, os, sys
work = sys.argv[1]
def report(path):
    text = open(path).read()
    try:
        rows = json.loads(text)
    except ValueError:
        rows = [json.loads(line) for line in text.splitlines() if line.strip()]
    return rows if isinstance(rows, list) else rows.get('devices', [])
fleet = report(os.path.join(work, 'north.json')) + report(os.path.join(work, 'south.json'))
for row in fleet:
    print('fleet: %s %s %.1f s' % (row.get('address'), row.get('result'), row.get('seconds') or 0))
events = [json.loads(line) for line in open(os.path.join(work, 'timeline-first.jsonl'))]
start, end = events[0]['t'], events[-1]['t']
plays = [e for e in events if e['event'] == 'play']
print("ansible: %.1f s from the playbook's start to its end; by play (each wave is one):"
      % (end - start))
print('  %5.1f s  before the first play (ansible-playbook starting, reading the inventory)'
      % (plays[0]['t'] - start))
for i, play in enumerate(plays):
    until = plays[i + 1]['t'] if i + 1 < len(plays) else end
    results = [e for e in events if e['event'] == 'result' and play['t'] <= e['t'] < until]
    programs = [e['seconds'] for e in results if e.get('seconds') is not None]
    print('  %5.1f s  %-50s %2d results%s' % (
        until - play['t'], play['name'][:50], len(results),
        ', the program at most %.1f s' % max(programs) if programs else ''))
upgrades = [e for e in events if e['event'] == 'result' and e.get('seconds') is not None
            and e['task'].startswith('Upgrade from') and e.get('began')]
extra = sorted(e['t'] - e['began'] - e['seconds'] for e in upgrades)
if extra:
    print("ansible, per device: the upgrade task's time minus the program's own (dry run and"
          " upgrade): median %.2f s, max %.2f s over %d devices"
          % (extra[len(extra) // 2], extra[-1], len(extra)))
    programs = sorted(e['seconds'] for e in upgrades)
    fleet_program = sorted(r.get('seconds') or 0 for r in fleet)
    print("the program's own time per device: ansible (dry run + upgrade) median %.1f s,"
          " fleet median %.1f s" % (programs[len(programs) // 2],
                                    fleet_program[len(fleet_program) // 2]))
PY

echo "[ measured ] two sites, $per_site devices each, clock x$scale, one canary then the rest:" \
  "ansible-playbook (serial [1, \"100%\"]) $ansible_seconds s (exit $status), second run $again_seconds s;" \
  "qel-upgrade fleet --canary 1 per site, both at once, $fleet_seconds s"
