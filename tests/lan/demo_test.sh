#!/usr/bin/env bash
# The demo's scripted run on its LAN, with the programs of this build:
#   demo_test.sh DEMO_SH BUILD_DIR
# Passes when the device is upgraded from this PC's address on its subnet
# and the demo ends with its summary. Exit 77: no namespaces here.
set -uo pipefail
# shellcheck source=tests/lib/test_lib.sh
. "$(dirname "$0")/../lib/test_lib.sh" || exit 1
demo=$1 build=$2
out=$(mktemp)
trap 'rm -f "$out"' EXIT
start=$SECONDS
QEL_DEMO_BUILD=$build "$demo" --fast >"$out" 2>&1
status=$?
cat "$out"
say "the demo took $((SECONDS - start)) s and ended with $status"
[ $status -eq 77 ] && exit 77
"$demo" --help >/dev/null || fail "demo --help ended with $?"
[ $status -eq 0 ] || fail "the demo ended with $status"
grep -qF '< *198.51.100.10 | 203.0.113.10 >' "$out" || fail "the PC's interface addresses were not offered"
grep -qF '127.0.1.1' "$out" && fail "the host name's 127.0.1.1 was offered"
grep -qF 'QEL@198.51.100.20 Upgrade Successful!' "$out" || fail "no success dialog"
grep -qF '  Device     QEL-742 at 198.51.100.20' "$out" || fail "summary: device"
grep -qF '  Software   5.1.2(GR) before, 5.2.5 after' "$out" || fail "summary: versions"
grep -qE '^  Transfer   871,243 bytes in [0-9]+\.[0-9]{3} s, complete, identical' "$out" ||
  fail "summary: transfer"
grep -q '"transfers"' "$out" && fail "the raw verdict was printed"
say "passed"
