#!/usr/bin/env bash
# Builds the whole suite (unit, simulator, end to end, fuzz replays) with the
# address and undefined-behaviour sanitizers, then with the thread sanitizer,
# and runs it. Fails on any failed test and on any sanitizer report, from the
# tests or from any program they start (each report goes to a file).
# While one build's tests run (they mostly wait for devices and timers), the
# next build compiles beside them at the lowest priority, so the tests keep
# the processor whenever they want it.
# Usage: scripts/test-sanitizers.sh [asan] [tsan]   (default: both)
# QEL_SANITIZER_BUILD_ROOT puts the build folders elsewhere (default build/);
# QEL_SANITIZER_BUILD_ONLY=1 builds them and runs nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

kinds=("$@")
[ ${#kinds[@]} -eq 0 ] && kinds=(asan tsan)
for kind in "${kinds[@]}"; do
  case $kind in asan|tsan) ;; *) echo "test-sanitizers: unknown kind $kind" >&2; exit 2 ;; esac
done
root=${QEL_SANITIZER_BUILD_ROOT:-build}
scripts/install-deps.sh

# Only what the labels below run (the desktop, LAN and administrator
# programs are not built here). The build runs host tools (the image
# generator) under the sanitizers too.
targets=(qel_unit_tests qel_frontend_common_tests qel_admin_unit_tests qel-device-sim-tests
  qel_e2e_tests qel-upgrade-scripted qel-device-sim qel-udp-relay qel_fuzz_replays)

# build KIND [NICE]: configures and builds KIND's folder; its time in built_KIND.
build() {
  local kind=$1 priority=${2:-0} start=$SECONDS
  # Line tables are all a report needs (each frame's file and line); full
  # debug information makes the address sanitizer's build a quarter slower.
  cmake --preset "$kind" -B "$root/$kind" -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" >/dev/null || return 1
  ASAN_OPTIONS=detect_leaks=0 nice -n "$priority" \
    cmake --build "$root/$kind" -j2 --target "${targets[@]}" || return 1
  echo $((SECONDS - start)) >"$root/$kind/build-seconds"
}

# run_tests KIND: the tests of KIND's build and the check of its reports;
# fails on a failed test or any report.
run_tests() {
  local kind=$1 dir reports start=$SECONDS tests found
  dir=$(cd "$root/$kind" && pwd)
  reports=$dir/sanitizer-reports
  rm -rf "$reports"
  mkdir -p "$reports"
  # Leaks inside system libraries we do not build (the desktop tests' font
  # configuration caches live until exit) are not ours to fix.
  printf 'leak:libfontconfig.so\n' >"$dir/lsan.supp"
  # Qt itself is not built with the thread sanitizer, which then cannot see
  # the locking inside Qt's event queues: the Qt front-end's tests run in the
  # other builds only.
  # The core, the platform, the simulator and the scripted front-end, through
  # the unit, simulator, end-to-end and fuzz-replay tests. The desktop, LAN
  # and administrator runs go through the same core and run in the default
  # build. The unit label's checks of the source tree and of the product's
  # symbols run no code of ours (and the product is not built here).
  set +e
  (
    cd "$dir" &&
      LSAN_OPTIONS="suppressions=$dir/lsan.supp:print_suppressions=0" \
        ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1" \
        UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1" \
        TSAN_OPTIONS="log_path=$reports/tsan:second_deadlock_stack=1" \
        ctest --output-on-failure -j2 --timeout 600 -L '^(unit|sim|e2e|fuzz)$' \
        -E '^(layering|layering_sees_planted_includes|product_has_no_test_seams)$'
  )
  tests=$?
  set -e
  found=$(find "$reports" -type f | wc -l)
  echo "== $kind: build $(cat "$dir/build-seconds") s, tests $((SECONDS - start)) s, ctest exit $tests, sanitizer reports $found"
  if [ "$found" -ne 0 ]; then
    for f in "$reports"/*; do echo "--- $f"; head -n 60 "$f"; done
    return 1
  fi
  [ "$tests" -eq 0 ]
}

if [ "${QEL_SANITIZER_BUILD_ONLY:-}" = 1 ]; then
  for kind in "${kinds[@]}"; do build "$kind"; done
  exit 0
fi
status=0
build "${kinds[0]}"
for i in "${!kinds[@]}"; do
  kind=${kinds[i]}
  next=${kinds[i + 1]:-}
  if [ -z "$next" ]; then
    run_tests "$kind" || status=1
    continue
  fi
  # The tests print when they are done, so that the lines stay whole.
  log=$root/$kind/tests.log
  run_tests "$kind" >"$log" 2>&1 &
  tests_pid=$!
  next_built=0
  build "$next" 19 >"$root/$next.build.log" 2>&1 || next_built=$?
  wait "$tests_pid" || status=1
  cat "$log"
  echo "== $next: built beside the $kind tests (log: $root/$next.build.log)"
  if [ "$next_built" -ne 0 ]; then
    tail -n 40 "$root/$next.build.log"
    echo "test-sanitizers: the $next build failed (log: $root/$next.build.log)" >&2
    exit 1
  fi
done
exit $status
