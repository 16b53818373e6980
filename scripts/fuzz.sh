#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (plus the address and
# undefined-behaviour sanitizers) and runs each one for a bounded time, as
# many at once as QEL_FUZZ_JOBS (default 2: a libFuzzer process keeps one
# core busy, so each target gets a core of its own, as when run alone).
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]   (default 60 s each, every target)
# New inputs go to $QEL_FUZZ_BUILD/corpus/TARGET (default build/fuzz); the
# committed seeds in fuzz/corpus/TARGET are only read. A crash leaves its
# input in $QEL_FUZZ_BUILD/artifacts/TARGET/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(ip_address http_response version tftp_listener tftp_transfer)
build=${QEL_FUZZ_BUILD:-build/fuzz}

command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ is needed (scripts/install-deps.sh)" >&2; exit 1; }
# The build runs host tools compiled with the sanitizers; their leaks at exit
# do not matter.
export ASAN_OPTIONS=detect_leaks=0
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQEL_FUZZ=ON -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_SIMULATOR=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/qel_fuzz_}"

export ASAN_OPTIONS=detect_leaks=1
jobs=${QEL_FUZZ_JOBS:-2}
[[ $jobs =~ ^[1-9][0-9]*$ ]] || jobs=1
fuzz_one() {
  local t=$1
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  "$build/fuzz/qel_fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t/" "$build/corpus/$t" "fuzz/corpus/$t" \
    >"$build/$t.log" 2>&1
}
status=0
# Each target's outcome, in the targets' order, once it has ended.
report() {
  local t=$1 pid=$2
  if ! wait "$pid"; then
    echo "!! $t found a failure: see $build/$t.log and $build/artifacts/$t/" >&2
    status=1
  fi
  echo "== $t: ${seconds} s"
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$build/$t.log" || true
}
pids=()
for i in "${!targets[@]}"; do
  if [ "$i" -ge "$jobs" ]; then
    report "${targets[i - jobs]}" "${pids[i - jobs]}"
  fi
  fuzz_one "${targets[i]}" &
  pids+=($!)
done
first_left=$((${#targets[@]} > jobs ? ${#targets[@]} - jobs : 0))
for ((i = first_left; i < ${#targets[@]}; i++)); do
  report "${targets[i]}" "${pids[i]}"
done
exit $status
