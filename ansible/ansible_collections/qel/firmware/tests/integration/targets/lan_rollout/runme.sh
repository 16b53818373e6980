#!/usr/bin/env bash
# Real ansible-playbook runs against simulated devices on the LAN of the
# project's scripts/lab.sh: the test's own plays (check mode, the upgrade),
# then the collection as users get it (built, installed into an empty folder)
# running its example rollout: a failed canary, then the rest (a second run
# for the devices already upgraded).
# The build's qel-upgrade-testable and qel-device-sim must be first in PATH
# (tests/ansible-test.sh integration BUILD-DIR does that): ansible-test passes
# on no other variable. Needs root or unprivileged user namespaces.
set -euo pipefail
here=$PWD
testable=$(command -v qel-upgrade-testable) && sim=$(command -v qel-device-sim) || {
  echo "runme.sh: put a build's tests/admin and tools/device-sim first in PATH" >&2
  exit 1
}
build=$(dirname "$(dirname "$(dirname "$sim")")")  # BUILD/tools/device-sim/qel-device-sim
# ansible-test runs a copy of this folder inside the collection: the project is above it.
project=$here
until [ -x "$project/scripts/lab.sh" ] && [ -d "$project/ansible/ansible_collections/qel/firmware" ]; do
  [ "$project" != / ] || { echo "runme.sh: not inside the qel-upgrade project" >&2; exit 1; }
  project=$(dirname "$project")
done
# The sixth device is switched on 20 s after the lab starts: the first play
# waits for it (keep_trying).
QEL_LAB_BUILD=$build QEL_LAB_REBOOT_SECONDS=0.3 QEL_LAB_LATE_SECONDS=20 exec "$project/scripts/lab.sh" 6 \
  password,current,never-return,plain,plain,late -- \
  /usr/bin/python3 "$here/lan_rollout_test.py" --testable "$testable" \
  --collection "$project/ansible/ansible_collections/qel/firmware"
