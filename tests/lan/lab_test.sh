#!/usr/bin/env bash
# The administrators' lab (scripts/lab.sh) with the programs of this build:
#   lab_test.sh LAB_SH BUILD_DIR
# Passes when its shell sees the mix of devices it promises (a late one
# absent, not even answering ARP, until it is up) and the lab leaves nothing
# behind. Exit 77: no namespaces here.
set -uo pipefail
# shellcheck source=tests/lib/test_lib.sh
. "$(dirname "$0")/../lib/test_lib.sh" || exit 1
lab=$1 build=$2
out=$(mktemp)
trap 'rm -f "$out"' EXIT
ON_FAIL='cat "$out"'
"$lab" --help >/dev/null || fail "lab --help ended with $?"
before=$(ls -d /tmp/qel-lab.* 2>/dev/null | wc -l)
late=15
began=$(date +%s)
# shellcheck disable=SC2016
QEL_LAB_BUILD=$build QEL_LAB_LATE_SECONDS=$late "$lab" 4 password,current,flaky,late -- bash -c '
  qel-upgrade scan --json
  echo "late device before: $(ip neigh show 198.51.100.23) at $(date +%s)"
  qel-upgrade upgrade 198.51.100.21 --dry-run --json
  cat "$LAB/devices.txt"
  for _ in $(seq 600); do
    nsenter --net="$LAN_DEVICE_NETNS" ip -o addr show to 198.51.100.23/32 | grep -q . && break
    sleep 0.1
  done
  echo "late device after:"
  qel-upgrade scan --json' >"$out" 2>&1
status=$?
[ $status -eq 77 ] && exit 77
[ $status -eq 0 ] || fail "the lab ended with $status"
grep -qF '{"address":"198.51.100.20","product":null,"software_version":null,"mac":null,"password_required":true}' "$out" ||
  fail "no device with a password"
grep -qF '"address":"198.51.100.22","product":"QEL-742","software_version":"5.1.2(GR)"' "$out" ||
  fail "no plain device"
grep -q '"address":"198.51.100.21","result":"current"' "$out" || fail "the current device is not current"
grep -qx '198.51.100.20  admin  password' "$out" || fail "the fleet list lacks the password file"
# Before it is up (judged from before the lab started, so a slow run only
# skips this), the first scan does not find it and nobody answered ARP for it.
first_scan=$(sed '/^late device before:/q' "$out")
checked=$(sed -n 's/^late device before: .* at \([0-9]*\)$/\1/p' "$out")
[ -n "$checked" ] || fail "no check of the late device before it was up"
if [ $((checked - began)) -lt $late ]; then
  grep -q '"address":"198.51.100.23"' <<<"$first_scan" && fail "the late device answered before it was up"
  grep '^late device before:' "$out" | grep -q lladdr && fail "the late device answered ARP before it was up"
fi
sed -n '/^late device after:/,$p' "$out" | grep -qF '"address":"198.51.100.23","product":"QEL-742"' ||
  fail "the late device did not come up"
[ "$(ls -d /tmp/qel-lab.* 2>/dev/null | wc -l)" -eq "$before" ] || fail "the lab's folder was left behind"
say "passed"
