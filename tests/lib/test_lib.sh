# shellcheck shell=bash
# The shell tests' one library, sourced by the Wine, desktop, package and LAN
# scripts (never run):
#   . "$(dirname "$0")/../lib/test_lib.sh"
# Exit statuses are the tests' own: 0 passed, 1 failed, 77 cannot run here
# (skip says why). Messages start with TEST_NAME (default: the script's name).
#
#   say TEXT...                  a line of this test's own
#   skip REASON / fail REASON    end the test: 77, or 1 after ON_FAIL's output
#   need TOOL... / need_root WHY skip unless the tools are here / we are root
#   check WHAT COMMAND...        a counted check: goes on after a failure
#   check_failed WHAT            a counted failure with no command to run
#   checks_passed                every check passed, and there was one at least
#   worse_status A B             the status of two parts: a failure beats a skip
#   wait_until SECONDS CONDITION / wait_file FILE PATTERN [SECONDS]
#   sim_start PORT_FILE OUTPUT COMMAND... / sims_stop     the device simulator
#   lan_run DEVICES COMMAND... / netns_run COMMAND... / enter_namespace [--root] ARGS...
#   start_xvfb NUMBER LOG [XAUTHORITY]                    a display of our own
#   wine_env / wine_prefix_template / wine_template / wine_prefix_fresh / wine_server_here
#   run_shared_cases SUITE AT_LEAST ADMIN_TESTS PROGRAM LOG   the administrators' cases
#                                under another program (the Windows console program)

TEST_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TEST_NAME=${TEST_NAME:-$(basename "$0" .sh)}

say() { echo "$TEST_NAME: $*"; }

skip() {
  say "SKIPPED, $*" >&2
  exit 77
}

# ON_FAIL, when set, is evaluated first: what to show of the failure.
fail() {
  say "FAIL: $*" >&2
  [ -n "${ON_FAIL:-}" ] && eval "$ON_FAIL" >&2
  exit 1
}

# NEED_HINT, when set, says where the tools come from.
need() {
  local tool missing=()
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
  done
  [ ${#missing[@]} -eq 0 ] || skip "missing ${missing[*]}${NEED_HINT:+ ($NEED_HINT)}"
}

need_root() { [ "$(id -u)" -eq 0 ] || skip "needs root ($*)"; }

# ---- counted checks ---------------------------------------------------------

CHECKS_RUN=0 CHECKS_FAILED=0

check() {  # check WHAT COMMAND...
  local what=$1
  shift
  CHECKS_RUN=$((CHECKS_RUN + 1))
  if "$@"; then
    echo "  ok    $what"
  else
    echo "  FAIL  $what"
    CHECKS_FAILED=$((CHECKS_FAILED + 1))
  fi
}

check_failed() {
  CHECKS_RUN=$((CHECKS_RUN + 1)) CHECKS_FAILED=$((CHECKS_FAILED + 1))
  echo "  FAIL  $*"
}

# A test whose checks never ran has not passed.
checks_passed() {
  say "$CHECKS_RUN checks, $CHECKS_FAILED failed"
  [ "$CHECKS_RUN" -gt 0 ] && [ "$CHECKS_FAILED" -eq 0 ]
}

# The status of a test made of parts: the first failure stays, and a failure
# replaces a pass or a skip (77).
worse_status() { { [ "$1" -eq 0 ] || [ "$1" -eq 77 ]; } && echo "$2" || echo "$1"; }

# ---- bounded waits ----------------------------------------------------------

# wait_until SECONDS CONDITION: polls the shell text CONDITION every 0.1 s
# until it holds or the seconds run out.
wait_until() {
  local seconds=$1 condition=$2
  local deadline=$((SECONDS + seconds))
  until eval "$condition"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}

# Until FILE holds a line matching PATTERN (grep's), 60 s at most.
wait_file() {
  local file=$1 pattern=$2 seconds=${3:-60}
  local deadline=$((SECONDS + seconds))
  until grep -q -- "$pattern" "$file" 2>/dev/null; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}

# ---- the device simulator -----------------------------------------------------

SIM_PIDS=()
SIM_PID=""

# sim_start PORT_FILE OUTPUT COMMAND...: COMMAND (the simulator and its
# options, behind nsenter when it runs on a LAN's devices' side) in the
# background with --port-file PORT_FILE; returns once the simulator listens,
# or 1 when it has not within 10 s. Its pid is SIM_PID, and in SIM_PIDS.
sim_start() {
  local port_file=$1 output=$2
  shift 2
  rm -f "$port_file"
  "$@" --port-file "$port_file" >"$output" 2>&1 &
  SIM_PID=$!
  SIM_PIDS+=("$SIM_PID")
  local deadline=$((SECONDS + 10))
  until [ -s "$port_file" ]; do
    { [ $SECONDS -ge $deadline ] || ! kill -0 "$SIM_PID" 2>/dev/null; } && return 1
    sleep 0.1
  done
}

# Stops every simulator started; each writes its verdict as it ends.
sims_stop() {
  [ ${#SIM_PIDS[@]} -gt 0 ] || return 0
  kill -TERM "${SIM_PIDS[@]}" 2>/dev/null
  wait "${SIM_PIDS[@]}" 2>/dev/null
  SIM_PIDS=()
  SIM_PID=""
}

# ---- private networks ---------------------------------------------------------

# COMMAND as the PC of a LAN of DEVICES simulated devices (tests/lan/lan.sh
# says what it holds); COMMAND's status, 77 when no LAN can be made here.
lan_run() {
  local devices=$1
  shift
  "$TEST_LIB_DIR/../lan/lan.sh" --devices "$devices" -- "$@"
}

# COMMAND in a network namespace of its own (root), with loopback up.
netns_run() {
  # shellcheck disable=SC2016  # expanded by the inner shell
  unshare --net bash -c 'ip link set lo up && exec "$@"' netns_run "$@"
}

# Re-runs this script, with ARGS, in a private network namespace with
# loopback up, where ports 69 and 80 are free and nothing else on the machine
# is reached: in a user namespace of its own, or with --root as root itself
# (where an unprivileged user lacks the privileges it would have there).
enter_namespace() {
  local unshare=(unshare --net --map-root-user)
  if [ "${1:-}" = --root ]; then
    unshare=(unshare --net)
    shift
  fi
  if [ -z "${QEL_IN_NAMESPACE:-}" ]; then
    need unshare ip
    "${unshare[@]}" true >/dev/null 2>&1 || skip "cannot make a network namespace here"
    export QEL_IN_NAMESPACE=1
    exec "${unshare[@]}" "$0" "$@"
  fi
  ip link set lo up || fail "cannot bring loopback up"
}

# ---- displays -----------------------------------------------------------------

# start_xvfb NUMBER LOG [XAUTHORITY]: an X server on :NUMBER, listening on
# its unix socket only; with XAUTHORITY it lets in only the clients that show
# the cookie made there, as a desktop's does. Without -noreset the server
# resets when its last client leaves and drops one that connected meanwhile
# (seen on a loaded machine); without -r a key whose release comes late on a
# loaded machine repeats (127.0.0.2 was typed as 122.7.0.02). XVFB_PID; 1
# when it does not answer within 10 s.
start_xvfb() {
  local number=$1 log=$2 auth=() client=(env DISPLAY=":$1")
  if [ -n "${3:-}" ]; then
    : >"$3"
    xauth -f "$3" add ":$number" . "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')" || return 1
    auth=(-auth "$3")
    client+=(XAUTHORITY="$3")
  fi
  Xvfb ":$number" "${auth[@]}" -noreset -r -screen 0 1024x768x24 -nolisten tcp >"$log" 2>&1 &
  # shellcheck disable=SC2034  # the caller's, to stop it
  XVFB_PID=$!
  local deadline=$((SECONDS + 10))
  until "${client[@]}" xdotool getdisplaygeometry >/dev/null 2>&1; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}

# ---- Wine -------------------------------------------------------------------

# No debug output and no Mono or Gecko prompts; with --console no display
# either (a console program may need no window).
wine_env() {
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  [ "${1:-}" = --console ] && unset DISPLAY WAYLAND_DISPLAY
  return 0
}

# wine_prefix_template DIR LOG: makes DIR a ready prefix unless it is one
# for this Wine version already. Tests copy it: a copy takes under a second,
# a new prefix about ten.
wine_prefix_template() {
  local template=$1 log=$2 version
  version=$(wine --version)
  [ "$(cat "$template/.qel-wine-version" 2>/dev/null)" = "$version" ] && return 0
  echo "preparing the Wine prefix template ($version)"
  rm -rf "$template"
  WINEPREFIX="$template" wineboot -i >"$log" 2>&1
  # Without a window manager, managed windows get no caption and stall.
  WINEPREFIX="$template" wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
    >>"$log" 2>&1
  WINEPREFIX="$template" wineserver -w
  [ -f "$template/system.reg" ] || { echo "wineboot failed (log: $log)" >&2; return 1; }
  echo "$version" >"$template/.qel-wine-version"
}

# wine_template WORK LOG: WINE_TEMPLATE, the template the Windows lane made
# (QEL_WINE_TEMPLATE), else WORK/wine-template, made here when missing.
wine_template() {
  WINE_TEMPLATE=${QEL_WINE_TEMPLATE:-$1/wine-template}
  wine_prefix_template "$WINE_TEMPLATE" "$2"
}

# wine_prefix_fresh DIR: DIR a fresh copy of WINE_TEMPLATE.
wine_prefix_fresh() {
  rm -rf "$1"
  cp -a "$WINE_TEMPLATE" "$1"
}

# A wineserver for WINEPREFIX started here, in this network namespace, so
# that the programs see its adapters; whatever ran there before ends.
# SECONDS to linger once idle, else it stays until killed.
wine_server_here() {
  wineserver -k 2>/dev/null
  wineserver -p ${1:+"$1"}
}

# ---- the administrators' shared cases ------------------------------------------

# run_shared_cases SUITE AT_LEAST ADMIN_TESTS PROGRAM LOG [CASES]: every case
# of the Google Test suite SUITE of ADMIN_TESTS (the administrators' tests),
# or those matching the pattern CASES, with QEL_ADMIN_PROGRAM=PROGRAM.
# Passes only when the suite lists AT_LEAST cases or more and every case
# listed passed, counted from the JSON report: none run, a case skipped or
# moved out of the suite fails the test.
run_shared_cases() {
  local suite=$1 at_least=$2 tests=$3 program=$4 log=$5 cases=${6:-*} listed passed status
  listed=$("$tests" --gtest_list_tests --gtest_filter="$suite.$cases" | grep -c '^  ')
  rm -f "$log.json"
  QEL_ADMIN_PROGRAM=$program "$tests" --gtest_filter="$suite.$cases" --gtest_output="json:$log.json" \
    >"$log" 2>&1
  status=$?
  grep -E '^\[ +(OK|FAILED|SKIPPED) +\]|measured' "$log" | sed 's/^/  /'
  passed=$(/usr/bin/python3 - "$log.json" <<'EOF' 2>/dev/null || echo 0
import json, sys
report = json.load(open(sys.argv[1], encoding="utf-8"))
print(sum(1 for suite in report["testsuites"] for case in suite["testsuite"]
          if case["status"] == "RUN" and case["result"] == "COMPLETED" and not case.get("failures")))
EOF
  )
  say "$suite: $passed of $listed cases passed (exit $status; at least $at_least expected)"
  [ "$status" -eq 0 ] && [ "$listed" -ge "$at_least" ] && [ "$passed" -eq "$listed" ] && return 0
  say "FAIL the shared cases of $suite (log: $log)"
  # What failed, here: CI shows this output, not the log.
  /usr/bin/python3 - "$log.json" <<'EOF' 2>/dev/null | sed 's/^/    /'
import json, sys
report = json.load(open(sys.argv[1], encoding="utf-8"))
for suite in report["testsuites"]:
    for case in suite["testsuite"]:
        for failure in case.get("failures", []):
            text = failure["failure"]
            print(case["name"] + ": " + (text if len(text) < 3000 else text[:3000] + " [...]"))
EOF
  return 1
}
