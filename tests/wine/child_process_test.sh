#!/usr/bin/env bash
# The fleet's Windows child processes under Wine (no display, no network):
# arguments, output, cancel and kill (child_process_probe parent); children
# ended with the fleet when its wine process is killed outright (the job
# object); Ctrl-C reaching the fleet as SIGINT (the console handler).
#   tests/wine/child_process_test.sh --work DIR
# Exit status: 0 passed, 1 failed, 77 cannot run here.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
work="" cli="" inside=0
while [ $# -gt 0 ]; do
  case "$1" in
    --work) mkdir -p "$2" && work=$(realpath "$2"); shift 2 ;;
    --cli) cli=$(realpath "$2"); shift 2 ;;
    --upgrade-inside) inside=1; shift ;;
    *) echo "child_process_test: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$work" ] || { echo "usage: $0 --work DIR" >&2; exit 2; }
cxx=x86_64-w64-mingw32-g++-posix
for tool in wine wineboot wineserver "$cxx"; do
  command -v "$tool" >/dev/null || {
    echo "child_process_test: SKIPPED, missing $tool (scripts/install-deps.sh win32)" >&2
    exit 77
  }
done

probe="$work/child_process_probe.exe"
export WINEPREFIX="$work/wine-prefix-children" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

if [ "$inside" -eq 1 ]; then
  # In the namespace: a device on 127.0.0.2 that takes the connection and
  # never answers; wineserver started here, where the program runs.
  ip link set lo up
  /usr/bin/python3 -c '
import socket
s = socket.socket()
s.bind(("127.0.0.2", 80))
s.listen(8)
held = []
while True:
    held.append(s.accept()[0])
' &
  device=$!
  wineserver -k 2>/dev/null
  wineserver -p 30
  timeout 120 wine "$probe" upgrade "Z:${cli//\//\\}" 127.0.0.2 >"$work/upgrade.out" 2>&1
  rc=$?
  kill "$device"
  wineserver -k 2>/dev/null
  if [ "$rc" -eq 0 ] && tr -d '\r' <"$work/upgrade.out" | grep -qx 'exit status 3' &&
    grep -q '"result":"aborted"' "$work/upgrade.out"; then
    echo "child_process_test: PASS the upgrade took the fleet's Cancel and reported aborted"
    exit 0
  fi
  echo "child_process_test: FAIL the upgrade and the fleet's Cancel (exit $rc):"
  cat "$work/upgrade.out"
  exit 1
fi

"$cxx" -std=c++20 -O1 -Wall -Wextra -Werror -I"$root" -static -static-libgcc -static-libstdc++ \
  "$root/tests/wine/child_process_probe.cpp" "$root/frontends/admin/win32/child_process.cpp" \
  "$root/frontends/admin/fleet_events.cpp" -o "$probe" -lshell32 || exit 1

[ -d "$WINEPREFIX" ] || wineboot -i >"$work/wineboot.log" 2>&1
# The prefix is this test's own: whatever an earlier run left there ends.
wineserver -k 2>/dev/null
wineserver -p 30
failed=0
say() { echo "child_process_test: $*"; }

# Waits (bounded) until FILE holds TEXT.
wait_for() {
  for _ in $(seq 1 200); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

timeout 120 wine "$probe" parent >"$work/parent.out" 2>&1
rc=$?
sed 's/^/  /' "$work/parent.out"
[ "$rc" -eq 0 ] || { say "FAIL parent (exit $rc)"; failed=1; }

# A fleet killed outright: its child's heartbeat stops.
beat="$work/beat.txt"
rm -f "$beat"
# Not under timeout(1): the signals must reach wine itself (the probes end
# on their own after a minute).
wine "$probe" orphan 'Z:'"${beat//\//\\}" >"$work/orphan.out" 2>&1 &
fleet=$!
if wait_for "$work/orphan.out" started && wait_for "$beat" '[0-9]'; then
  kill -KILL "$fleet"
  wait "$fleet" 2>/dev/null
  sleep 1
  before=$(cat "$beat")
  sleep 2
  after=$(cat "$beat")
  if [ "$before" = "$after" ]; then
    say "PASS the child ended with its killed fleet"
  else
    say "FAIL the child outlived its killed fleet ($before -> $after)"
    failed=1
  fi
else
  say "FAIL the orphan's child did not start"; cat "$work/orphan.out"
  kill -KILL "$fleet" 2>/dev/null
  failed=1
fi

# Ctrl-C as the terminal sends it, twice: both reach the fleet's handler.
wine "$probe" interrupts >"$work/interrupts.out" 2>&1 &
fleet=$!
if wait_for "$work/interrupts.out" ready; then
  kill -INT "$fleet"
  wait_for "$work/interrupts.out" interrupt
  kill -INT "$fleet"
  wait "$fleet"
  rc=$?
  if [ "$rc" -eq 0 ] && [ "$(grep -c '^interrupt' "$work/interrupts.out")" -eq 2 ]; then
    say "PASS two Ctrl-C reach the console handler, and the program goes on"
  else
    say "FAIL Ctrl-C (exit $rc):"; cat "$work/interrupts.out"
    failed=1
  fi
else
  say "FAIL the interrupt probe did not start"; cat "$work/interrupts.out"
  kill -KILL "$fleet" 2>/dev/null
  failed=1
fi
wineserver -k 2>/dev/null

if [ -n "$cli" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    say "SKIPPED the upgrade's Cancel: needs root for a network namespace"
  else
    unshare --net "$0" --work "$work" --cli "$cli" --upgrade-inside || failed=1
  fi
fi
exit "$failed"
