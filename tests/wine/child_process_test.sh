#!/usr/bin/env bash
# The fleet's Windows child processes under Wine (no display, no network):
# arguments, output, cancel and kill (child_process_probe parent); with
# --cli, the console program's upgrade, started as the fleet starts it,
# taking the fleet's Cancel while it waits for a device that never answers
# (in a network namespace of its own: needs root). The job object and Ctrl-C
# are tried on the fleet itself (fleet_test.sh).
#   tests/wine/child_process_test.sh --work DIR [--cli qel-upgrade-cli.exe]
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
  "$root/tests/wine/child_process_probe.cpp" "$root/platform/win32/child_process.cpp" \
  "$root/platform/win32/program.cpp" \
  "$root/platform/portable/child_events.cpp" -o "$probe" -lshell32 || exit 1

# A copy of the ready prefix the Windows lane made (or of one made here).
# shellcheck source=tests/wine/prefix.sh
. "$root/tests/wine/prefix.sh"
template=${QEL_WINE_TEMPLATE:-$work/wine-template}
wine_prefix_template "$template" "$work/wineboot.log" || exit 1
[ -d "$WINEPREFIX" ] || cp -a "$template" "$WINEPREFIX"
# The prefix is this test's own: whatever an earlier run left there ends.
wineserver -k 2>/dev/null
wineserver -p 30
failed=0
say() { echo "child_process_test: $*"; }

timeout 120 wine "$probe" parent >"$work/parent.out" 2>&1
rc=$?
sed 's/^/  /' "$work/parent.out"
[ "$rc" -eq 0 ] || { say "FAIL parent (exit $rc)"; failed=1; }

wineserver -k 2>/dev/null

if [ -n "$cli" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    say "SKIPPED the upgrade's Cancel: needs root for a network namespace"
  else
    unshare --net "$0" --work "$work" --cli "$cli" --upgrade-inside || failed=1
  fi
fi
exit "$failed"
