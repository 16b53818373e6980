#!/usr/bin/env bash
# Builds the whole suite (unit, simulator, end to end, fuzz replays) with the
# address and undefined-behaviour sanitizers, then with the thread sanitizer,
# and runs it. Fails on any failed test and on any sanitizer report, from the
# tests or from any program they start (each report goes to a file).
# Usage: scripts/test-sanitizers.sh [asan] [tsan]   (default: both)
# QEL_SANITIZER_BUILD_ROOT puts the build folders elsewhere (default build/).
set -euo pipefail
cd "$(dirname "$0")/.."

kinds=("$@")
[ ${#kinds[@]} -eq 0 ] && kinds=(asan tsan)
root=${QEL_SANITIZER_BUILD_ROOT:-build}
scripts/install-deps.sh

status=0
for kind in "${kinds[@]}"; do
  case $kind in asan|tsan) ;; *) echo "test-sanitizers: unknown kind $kind" >&2; exit 2 ;; esac
  dir=$root/$kind
  start=$(date +%s)
  cmake --preset "$kind" -B "$dir" >/dev/null
  reports=$(cd "$dir" && pwd)/sanitizer-reports
  # Only what the labels below run (the desktop, LAN and administrator
  # programs are not built here). The build runs host tools (the image
  # generator) under the sanitizers too.
  targets=(qel_unit_tests qel_frontend_common_tests qel_admin_unit_tests qel-device-sim-tests
    qel_e2e_tests qel-upgrade-scripted qel-device-sim qel-udp-relay qel_fuzz_replays)
  ASAN_OPTIONS=detect_leaks=0 cmake --build "$dir" -j2 --target "${targets[@]}"
  built=$(date +%s)

  rm -rf "$reports"
  mkdir -p "$reports"
  # Leaks inside system libraries we do not build (the desktop tests' font
  # configuration caches live until exit) are not ours to fix.
  printf 'leak:libfontconfig.so\n' >"$reports/../lsan.supp"
  export LSAN_OPTIONS="suppressions=$(cd "$reports/.." && pwd)/lsan.supp:print_suppressions=0"
  export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1"
  export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1"
  export TSAN_OPTIONS="log_path=$reports/tsan:second_deadlock_stack=1"
  # Qt itself is not built with the thread sanitizer, which then cannot see
  # the locking inside Qt's event queues: the Qt front-end's tests run in the
  # other builds only.
  # The core, the platform, the simulator and the scripted front-end, through
  # the unit, simulator, end-to-end and fuzz-replay tests. The desktop, LAN
  # and administrator runs go through the same core and run in the default
  # build.
  # The unit label's checks of the source tree and of the product's symbols
  # run no code of ours (and the product is not built here).
  labels=(-L '^(unit|sim|e2e|fuzz)$' -E '^(layering|layering_sees_planted_includes|product_has_no_test_seams)$')
  set +e
  (cd "$dir" && ctest --output-on-failure -j2 --timeout 600 "${labels[@]}")
  tests=$?
  set -e
  unset ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS LSAN_OPTIONS
  done_at=$(date +%s)

  found=$(find "$reports" -type f | wc -l)
  echo "== $kind: build $((built - start)) s, tests $((done_at - built)) s, ctest exit $tests, sanitizer reports $found"
  if [ "$found" -ne 0 ]; then
    for f in "$reports"/*; do echo "--- $f"; head -n 60 "$f"; done
    status=1
  fi
  [ "$tests" -eq 0 ] || status=1
done
exit $status
