#!/usr/bin/env bash
# Builds everything and runs every check, fastest first, so that a mistake
# fails in minutes:
#   fast lane   format and lint, the build (warnings are errors), unit tests
#   slow lanes  every other test of the default build; the benchmark, short;
#               the Debian packages; a build without Qt and newt and the
#               administrators' tests on it; the two-stage build and its tests; the
#               suite under the sanitizers; each fuzz target for a while; the
#               Windows programs (one-stage and two-stage) and their package under Wine
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

build_and_test_unit() {
  cmake --preset ci >/dev/null
  cmake --build --preset ci
  ctest --preset ci-unit
}

format_check() { QEL_LINT_FORMAT_ONLY=1 scripts/lint.sh; }
tidy_check() { QEL_LINT_BUILD=build/ci scripts/lint.sh; }
# The administrators' tests run in the headless lane, on the same code.
other_tests() { ctest --preset ci -LE '^(unit|admin)$'; }
# The benchmark in its short form, on the ci build: it asserts no time, but
# it must keep running.
bench_short() { QEL_BENCH_BUILD=build/ci scripts/bench.sh --short; }
# A server's build, without Qt and newt: qel-upgrade and its commands alone,
# and the administrators' tests on it.
headless() {
  cmake --preset ci-headless >/dev/null
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
  cmake --preset ci-two-stage >/dev/null
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
lane "lint" tidy_check
lane "all other tests" other_tests
lane "benchmark (short)" bench_short
lane "packages" packages
lane "headless build" headless
lane "two-stage build" two_stage
lane "sanitizers" scripts/test-sanitizers.sh
lane "fuzz" scripts/fuzz.sh "${QEL_FUZZ_SECONDS:-30}"
lane "windows" windows
echo "== all lanes passed in $(($(date +%s) - total_start)) s"
