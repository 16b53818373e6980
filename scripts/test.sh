#!/usr/bin/env bash
# Builds everything and runs every check, fastest first, so that a mistake
# fails in minutes:
#   fast lanes  format, the build (warnings are errors), unit tests
#   slow lanes  the benchmark, short; every other test of the default build;
#               the Debian packages; a build without Qt and newt and the
#               administrators' tests on it; the two-stage build and its tests;
#               lint; the Windows programs (one-stage and two-stage) and their
#               package under Wine; the suite under the sanitizers; each fuzz
#               target for a while
# Work that only compiles or reads code runs in the background at the lowest
# priority beside lanes whose tests mostly wait (for devices, reboots and
# timers), which keep the processor whenever they want it: clang-tidy from
# the benchmark's end (its lane waits for it), the sanitizers' first build
# beside the Windows lane (the sanitizers' lane waits for it).
# Each lane prints its time. Usage: scripts/test.sh
# QEL_FUZZ_SECONDS sets each fuzz target's time (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."

lane_start=0
lane() {
  local name=$1
  shift
  echo "== lane: $name"
  lane_start=$(date +%s)
  "$@"
  echo "== lane: $name: $(($(date +%s) - lane_start)) s"
}

# Line tables are all the debug information CI's builds need (a backtrace
# still names files and lines); full debug information makes each compile
# about a third slower. The packages keep Debian's flags.
ci_flags=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG")

build_and_test_unit() {
  cmake --preset ci "${ci_flags[@]}" >/dev/null
  cmake --build --preset ci
  ctest --preset ci-unit
}

format_check() { QEL_LINT_FORMAT_ONLY=1 scripts/lint.sh; }

# Background work: bg_start NAME PROGRAM [ARG...] runs PROGRAM at the lowest
# priority, in a process group of its own, its output in
# build/background/NAME.log; bg_await NAME waits for it, shows that output,
# and fails as it did. What still runs when the script ends is stopped.
declare -A bg_pids=() bg_began=()
bg_start() {
  local name=$1
  shift
  mkdir -p build/background
  setsid -w nice -n 19 "$@" >"build/background/$name.log" 2>&1 &
  bg_pids[$name]=$!
  bg_began[$name]=$(date +%s)
}
bg_await() {
  local name=$1 status=0
  wait "${bg_pids[$name]}" || status=$?
  unset "bg_pids[$name]"
  cat "build/background/$name.log"
  echo "($name: ended $(($(date +%s) - bg_began[$name])) s after it started, in the background)"
  return "$status"
}
bg_stop() {
  local pid
  for pid in "${bg_pids[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
}
trap bg_stop EXIT
# The administrators' tests run in the headless lane, on the same code.
other_tests() { ctest --preset ci -LE '^(unit|admin)$'; }
# The benchmark in its short form, on the ci build: it asserts no time, but
# it must keep running.
bench_short() { QEL_BENCH_BUILD=build/ci scripts/bench.sh --short; }
# A server's build, without Qt and newt: qel-upgrade and its commands alone,
# and the administrators' tests on it.
headless() {
  cmake --preset ci-headless "${ci_flags[@]}" >/dev/null
  cmake --build --preset ci-headless --target qel-upgrade qel_admin_tests qel_admin_unit_tests
  if [ -e build/ci-headless/qel-upgrade-terminal ] || [ -e build/ci-headless/qel-upgrade-desktop ]; then
    echo "headless: a toolkit's program was built" >&2
    return 1
  fi
  ctest --preset ci-headless
}

# Only what its tests run: the front-ends are the same code in both builds.
# qel-upgrade too, which the unit label's seam check reads.
two_stage() {
  cmake --preset ci-two-stage "${ci_flags[@]}" >/dev/null
  cmake --build --preset ci-two-stage --target qel_unit_tests qel_frontend_common_tests \
    qel_admin_unit_tests qel_e2e_tests qel_lan_tests qel-upgrade-scripted qel-device-sim \
    qel-udp-relay qel-upgrade
  ctest --preset ci-two-stage
}

# The Debian packages, made by dpkg-buildpackage (the product's programs
# only, with Debian's flags), then checked, installed and run; the simulator
# and the test plugin come from the CI build. A skip (77) says why.
# QEL_PACKAGE_TWICE=1 builds them a second time in another folder and checks
# that the bytes are the same (about as long again).
packages() {
  # Debian's own tools and flags, without the cache.
  env -u CMAKE_CXX_COMPILER_LAUNCHER scripts/build-deb.sh build/deb
  if [ "${QEL_PACKAGE_TWICE:-}" = 1 ]; then
    env -u CMAKE_CXX_COMPILER_LAUNCHER scripts/build-deb.sh build/deb-again
    export QEL_DEBS_AGAIN=build/deb-again
  fi
  tests/desktop/package_test.sh build/deb build/ci build/deb/test || [ $? -eq 77 ]
}

# The host tools and the simulator of the ci build, built already.
windows() { QEL_WIN32_HOST_BUILD=$PWD/build/ci scripts/test-win32.sh; }
sanitizers() {
  bg_await "sanitizer build"
  scripts/test-sanitizers.sh
}

# The ci and two-stage builds differ in three files: a compiler cache in the
# build folder lets the second compile only those. Paths are hashed relative
# to the checkout, so the two build folders share entries.
compiler_cache() {
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR=$PWD/build/ccache CCACHE_BASEDIR=$PWD
  export CCACHE_NOHASHDIR=1
}

total_start=$(date +%s)
lane "install" scripts/install-deps.sh
compiler_cache
lane "format" format_check
lane "build and unit tests" build_and_test_unit
# Nothing beside the benchmark: its numbers are the machine's.
lane "benchmark (short)" bench_short
bg_start lint env QEL_LINT_BUILD=build/ci scripts/lint.sh
lane "all other tests" other_tests
lane "packages" packages
lane "headless build" headless
lane "two-stage build" two_stage
# The Windows lane builds in the ci folder too: clang-tidy reads it.
lane "lint" bg_await lint
bg_start "sanitizer build" env QEL_SANITIZER_BUILD_ONLY=1 scripts/test-sanitizers.sh asan
lane "windows" windows
lane "sanitizers" sanitizers
lane "fuzz" scripts/fuzz.sh "${QEL_FUZZ_SECONDS:-30}"
echo "== all lanes passed in $(($(date +%s) - total_start)) s"
