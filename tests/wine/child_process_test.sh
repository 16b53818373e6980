#!/usr/bin/env bash
# The fleet's Windows child processes under Wine (no display, no network):
# arguments, output, cancel and kill (child_process_probe parent); the
# platform's threads started and released as the programs do (thread_probe); the
# password file's access list judged from given ones (password_acl_probe); with
# --cli, the console program's upgrade, started as the fleet starts it,
# taking the fleet's Cancel while it waits for a device that never answers
# (in a network namespace of its own: needs root). The job object and Ctrl-C
# are tried on the fleet itself (fleet_test.sh).
#   tests/wine/child_process_test.sh --work DIR [--cli qel-upgrade-cli.exe]
# Exit status: 0 passed, 1 failed, 77 cannot run here.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
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
# shellcheck source=tests/lib/test_lib.sh
. "$root/tests/lib/test_lib.sh" || exit 1
cxx=x86_64-w64-mingw32-g++-posix
NEED_HINT="scripts/install-deps.sh win32"
need wine wineboot wineserver "$cxx"

probe="$work/child_process_probe.exe"
export WINEPREFIX="$work/wine-prefix-children"
wine_env --console

if [ "$inside" -eq 1 ]; then
  # In the namespace: a device on 127.0.0.2 that takes the connection and
  # never answers; wineserver started here, where the program runs.
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
  wine_server_here 30
  timeout 120 wine "$probe" upgrade "Z:${cli//\//\\}" 127.0.0.2 >"$work/upgrade.out" 2>&1
  rc=$?
  kill "$device"
  wineserver -k 2>/dev/null
  check "the probe ended (exit $rc)" test "$rc" -eq 0
  check "the upgrade took the fleet's Cancel (exit status 3)" \
    grep -qx 'exit status 3' <(tr -d '\r' <"$work/upgrade.out")
  check "... and reported aborted" grep -q '"result":"aborted"' "$work/upgrade.out"
  checks_passed || { cat "$work/upgrade.out"; exit 1; }
  exit 0
fi

"$cxx" -std=c++20 -O1 -Wall -Wextra -Werror -I"$root" -static -static-libgcc -static-libstdc++ \
  "$root/tests/wine/child_process_probe.cpp" "$root/platform/win32/child_process.cpp" \
  "$root/platform/win32/program.cpp" "$root/platform/portable/thread.cpp" \
  "$root/platform/win32/thread.cpp" \
  "$root/platform/portable/child_events.cpp" -o "$probe" -lshell32 || exit 1
# The platform's threads, released as they end and at once.
thread_probe="$work/thread_probe.exe"
"$cxx" -std=c++20 -O1 -Wall -Wextra -Werror -I"$root" -static -static-libgcc -static-libstdc++ \
  "$root/tests/wine/thread_probe.cpp" "$root/platform/portable/thread.cpp" \
  "$root/platform/win32/thread.cpp" -o "$thread_probe" || exit 1
# The password file's owner and access list, judged from given descriptors
# (Wine keeps no access lists of its own).
acl_probe="$work/password_acl_probe.exe"
"$cxx" -std=c++20 -O1 -Wall -Wextra -Werror -I"$root" -static -static-libgcc -static-libstdc++ \
  "$root/tests/wine/password_acl_probe.cpp" -o "$acl_probe" -ladvapi32 || exit 1

# A fresh copy of the ready prefix the Windows lane made (or of one made
# here), with a wineserver of its own.
wine_template "$work" "$work/wineboot.log" || exit 1
wine_prefix_fresh "$WINEPREFIX"
wine_server_here 30

timeout 120 wine "$probe" parent >"$work/parent.out" 2>&1
rc=$?
sed 's/^/  /' "$work/parent.out"
check "the probe's parent: arguments, output, cancel and kill (exit $rc)" test "$rc" -eq 0
timeout 120 wine "$thread_probe" >"$work/thread.out" 2>&1
rc=$?
sed 's/^/  /' "$work/thread.out"
check "the platform's threads: each released worker runs, with its argument (exit $rc)" \
  test "$rc" -eq 0
timeout 120 wine "$acl_probe" >"$work/password_acl.out" 2>&1
rc=$?
sed 's/^/  /' "$work/password_acl.out"
check "a password file must be this user's, SYSTEM's or Administrators', and no one else's (exit $rc)" \
  test "$rc" -eq 0

wineserver -k 2>/dev/null

if [ -n "$cli" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    say "SKIPPED the upgrade's Cancel: needs root for a network namespace"
  else
    check "the upgrade, started as the fleet starts it, takes the fleet's Cancel" \
      netns_run "$0" --work "$work" --cli "$cli" --upgrade-inside
  fi
fi
checks_passed
