#!/usr/bin/env bash
# Rollouts that wait, with the Windows console program under Wine:
#   with --admin-tests, the administrators' patient-fleet case (a window that
#   opens later, a device switched on late, one that fails, a fleet killed
#   outright and its report, upgrade --keep-trying; the closing window is
#   Linux's alone) with QEL_ADMIN_PROGRAM="wine EXE", at real speed (the
#   program has no test clock: about three minutes);
#   and the program run as a scheduled task runs it, with no console at all
#   (DETACHED_PROCESS, from a small launcher): a fleet inside its --window
#   with its standard handles on files, the same with no standard handles at
#   all, and an upgrade's JSON to a file; on a private loopback (root, a
#   network namespace of its own; no display).
#   tests/wine/rollout_test.sh --cli qel-upgrade-cli.exe --sim qel-device-sim \
#       --image target.bin --work DIR [--admin-tests qel_admin_tests]
# Exit status: 0 passed, 1 failed, 77 cannot run here.
set -uo pipefail

cli="" sim="" image="" work="" admin_tests="" inside=0
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) cli=$(realpath "$2"); shift 2 ;;
    --sim) sim=$(realpath "$2"); shift 2 ;;
    --image) image=$(realpath "$2"); shift 2 ;;
    --work) mkdir -p "$2" && work=$(realpath "$2"); shift 2 ;;
    --admin-tests) admin_tests=$(realpath "$2"); shift 2 ;;
    --inside) inside=1; shift ;;
    *) echo "rollout_test: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$cli" ] || [ -z "$sim" ] || [ -z "$image" ] || [ -z "$work" ]; then
  echo "usage: $0 --cli EXE --sim SIM --image TARGET_BIN --work DIR [--admin-tests PROGRAM]" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
cxx=x86_64-w64-mingw32-g++-posix
# shellcheck source=tests/lib/test_lib.sh
. "$here/../lib/test_lib.sh" || exit 1
wine_env --console
launcher="$work/no_console_launcher.exe"

if [ "$inside" -eq 0 ]; then
  NEED_HINT="scripts/install-deps.sh win32"
  need wine wineboot wineserver unshare ip "$cxx"
  need_root "a private network namespace"
  wine_template "$work" "$work/wineboot.log" || exit 1
  "$cxx" -std=c++20 -O1 -Wall -Wextra -Werror -static -static-libgcc -static-libstdc++ \
    "$here/no_console_launcher.cpp" -o "$launcher" -lshell32 || exit 1
  netns_run "$0" --inside --cli "$cli" --sim "$sim" --image "$image" --work "$work"
  status=$?
  if [ -n "$admin_tests" ]; then
    # The case makes its own LAN; the program's wineserver starts there.
    prefix="$work/wine-prefix-rollout-shared"
    wine_prefix_fresh "$prefix"
    say "the patient-fleet case under Wine"
    WINEPREFIX="$prefix" run_shared_cases SharedRolloutTest 1 "$admin_tests" "wine $cli" \
      "$work/rollout-shared.log"
    status=$(worse_status "$status" $?)
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null
    rm -rf "$prefix"
  else
    say "SKIPPED the patient-fleet case (no --admin-tests program)"
  fi
  exit "$status"
fi

# ---- inside the namespace ---------------------------------------------------
export WINEPREFIX="$work/wine-prefix-rollout"
wine_template "$work" "$work/wineboot.log" || exit 1
wine_prefix_fresh "$WINEPREFIX"
# Started here, so that the program sees this namespace's loopback.
wine_server_here 60
cd "$work" || exit 1
rm -rf rollout && mkdir rollout && cd rollout || exit 1

# Device N (2..) on 127.0.0.N.
device() {
  local n=$1
  sim_start "dev$n.port" "dev$n.out" "$sim" --address "127.0.0.$n" --http-port 80 \
    --reference "$image" --reboot-seconds 1 --time-limit 600 ||
    check_failed "device $n did not start"
}
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
detached() { wine "$launcher" "$@"; }

for n in 2 3 4; do device "$n"; done
printf '127.0.0.2\n' >files.txt
printf '127.0.0.3\n' >none.txt
# A window open now and for two hours, as a nightly task's would be.
window="$(date -d '-1 min' +%H:%M)-$(date -d '+2 hours' +%H:%M)"
exe=$(windows_path "$cli")

# Both fleets at once: each upgrade waits out the device's 30 s.
detached --files NUL files.out files.err "$exe" fleet files.txt --window "$window" \
  --keep-trying 10m --report files.csv --log-dir logs &
files_pid=$!
detached --none "$exe" fleet none.txt --report none.csv &
none_pid=$!
detached --files NUL upgrade.out upgrade.err "$exe" upgrade 127.0.0.4 --dry-run --json
rc=$?
check "an upgrade with no console ends (exit $rc)" test "$rc" -eq 0
check "its JSON is in the file of its standard output" grep -q '"result":"dry-run"' upgrade.out
wait "$files_pid"
rc=$?
check "a fleet with no console and its handles on files ends (exit $rc)" test "$rc" -eq 0
check "its report says the device was upgraded, once" grep -q '^127.0.0.2,.*,upgraded,.*,1$' files.csv
check "its steps are lines with their times in the error file" \
  grep -qE '^[0-9]{2}:[0-9]{2}:[0-9]{2} 127.0.0.2 started' files.err
check "its standard output file is empty (the report is a file)" test ! -s files.out
check "the device has its log" grep -q 'result: upgraded' logs/127.0.0.2.log
wait "$none_pid"
rc=$?
check "a fleet with no standard handles at all ends (exit $rc)" test "$rc" -eq 0
check "its report says the device was upgraded" grep -q '^127.0.0.3,.*,upgraded,' none.csv
sims_stop
wineserver -k 2>/dev/null
if ! checks_passed; then
  for f in files.err upgrade.err files.csv none.csv; do echo "--- $f"; tail -n 20 "$f" 2>/dev/null; done
  exit 1
fi
