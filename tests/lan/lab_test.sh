#!/usr/bin/env bash
# The administrators' lab (scripts/lab.sh) with the programs of this build:
#   lab_test.sh LAB_SH BUILD_DIR
# Passes when its shell sees the mix of devices it promises and the lab
# leaves nothing behind. Exit 77: no namespaces here.
set -uo pipefail
# shellcheck source=tests/lib/test_lib.sh
. "$(dirname "$0")/../lib/test_lib.sh" || exit 1
lab=$1 build=$2
out=$(mktemp)
trap 'rm -f "$out"' EXIT
ON_FAIL='cat "$out"'
"$lab" --help >/dev/null || fail "lab --help ended with $?"
before=$(ls -d /tmp/qel-lab.* 2>/dev/null | wc -l)
# shellcheck disable=SC2016
QEL_LAB_BUILD=$build "$lab" 3 -- bash -c '
  qel-upgrade scan --json
  qel-upgrade upgrade 198.51.100.21 --dry-run --json
  cat "$LAB/devices.txt"' >"$out" 2>&1
status=$?
[ $status -eq 77 ] && exit 77
[ $status -eq 0 ] || fail "the lab ended with $status"
grep -qF '{"address":"198.51.100.20","product":null,"software_version":null,"mac":null,"password_required":true}' "$out" ||
  fail "no device with a password"
grep -qF '"address":"198.51.100.22","product":"QEL-742","software_version":"5.1.2(GR)"' "$out" ||
  fail "no plain device"
grep -q '"address":"198.51.100.21","result":"current"' "$out" || fail "the current device is not current"
grep -qx '198.51.100.20  admin  password' "$out" || fail "the fleet list lacks the password file"
[ "$(ls -d /tmp/qel-lab.* 2>/dev/null | wc -l)" -eq "$before" ] || fail "the lab's folder was left behind"
say "passed"
