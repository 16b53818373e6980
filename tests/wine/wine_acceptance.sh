#!/usr/bin/env bash
# Acceptance test of the Windows program under Wine: the real dialogs, driven
# with the keyboard as a person would, against the device simulator.
#
#   tests/wine/wine_acceptance.sh --exe qel-upgrade.exe --sim qel-device-sim \
#       --image target.bin --work DIR [--only PATH...] \
#       [--two-stage-exe EXE --transition-image transition.bin]
#
# With the two-stage build (Transition, then Target) given, the path
# two_stage runs it against a device older than the Transition version.
#
# Everything runs as root inside a private network, UTS and mount namespace:
# its own loopback (ports 69 and 80 are free there), its own X socket folder,
# a host name that resolves through a bind-mounted hosts file.
# The PC's name resolves to 127.0.0.3 and 127.0.0.1, in that order, so the
# address dialog offers two local addresses and the test must choose the
# second; the simulated device answers on 127.0.0.2.
#
# Screenshots of every dialog go to WORK/wine-screens/NN-path-name.png.
# Exit status: 0 all paths passed, 1 a path failed, 77 cannot run here.
set -uo pipefail

readonly DISPLAY_NUMBER=99
readonly DEVICE=127.0.0.2
readonly PC_NAME=qel-pc
readonly PASSWORD='s3cret!'
# The device's own wait: the wizard pauses ~30 s after the transfer, then asks
# for the new version; the simulator reflashes for --reboot-seconds.
readonly UPGRADE_TIMEOUT=150

exe="" sim="" image="" work="" only=() two_stage_exe="" transition_image=""
inside=0
while [ $# -gt 0 ]; do
  case "$1" in
    --exe) exe=$(realpath "$2"); shift 2 ;;
    --sim) sim=$(realpath "$2"); shift 2 ;;
    --image) image=$(realpath "$2"); shift 2 ;;
    --two-stage-exe) two_stage_exe=$(realpath "$2"); shift 2 ;;
    --transition-image) transition_image=$(realpath "$2"); shift 2 ;;
    --work) mkdir -p "$2" && work=$(realpath "$2"); shift 2 ;;
    --only) only+=("$2"); shift 2 ;;
    --inside) inside=1; shift ;;
    *) echo "wine_acceptance: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$exe" ] || [ -z "$sim" ] || [ -z "$image" ] || [ -z "$work" ]; then
  echo "usage: $0 --exe EXE --sim SIM --image TARGET_BIN --work DIR [--only PATH]..." >&2
  exit 2
fi

# shellcheck source=tests/lib/test_lib.sh
. "$(dirname "$0")/../lib/test_lib.sh" || exit 1

if [ "$inside" -eq 0 ]; then
  NEED_HINT="scripts/install-deps.sh win32"
  need wine wineboot wineserver Xvfb xdotool import unshare ip mount
  need_root "a private network namespace"
  args=(--exe "$exe" --sim "$sim" --image "$image" --work "$work")
  if [ -n "$two_stage_exe" ]; then
    [ -n "$transition_image" ] || { say "--two-stage-exe needs --transition-image" >&2; exit 2; }
    args+=(--two-stage-exe "$two_stage_exe" --transition-image "$transition_image")
  fi
  for p in "${only[@]}"; do args+=(--only "$p"); done
  exec unshare --net --uts --mount "$0" --inside "${args[@]}"
fi

# ---- inside the namespace -------------------------------------------------

mount --make-rprivate /
# A private X socket folder, so the pinned display number cannot collide
# with another X server; the rest of /tmp stays (the build may live there).
mkdir -p /tmp/.X11-unix
mount -t tmpfs -o mode=1777 qel-x11 /tmp/.X11-unix
ip link set lo up
hostname "$PC_NAME"
printf '127.0.0.1\tlocalhost\n127.0.0.3\t%s\n127.0.0.1\t%s\n' "$PC_NAME" "$PC_NAME" >"$work/hosts"
mount --bind "$work/hosts" /etc/hosts

screens="$work/wine-screens"
logs="$work/wine-logs"
rm -rf "$screens" "$logs"
mkdir -p "$screens" "$logs"
shot_number=0

export DISPLAY=":$DISPLAY_NUMBER"
wine_env

XVFB_PID=""
cleanup() {
  sims_stop
  [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT
start_xvfb "$DISPLAY_NUMBER" "$logs/xvfb.log" || fail "Xvfb did not start"

# A ready prefix is kept per Wine version; each path starts from a copy.
wine_template "$work" "$logs/wineboot.log" || exit 1

# ---- helpers ----------------------------------------------------------------

path_name=""
failures=()

note() { echo "  [$path_name] $*"; }

path_fail() {
  note "FAIL: $*"
  shot "FAIL"
  visible_windows | sed 's/^/      visible: /'
  return 1
}

visible_windows() {
  local w
  for w in $(xdotool search --onlyvisible --name '.' 2>/dev/null); do
    echo "$w $(xdotool getwindowname "$w" 2>/dev/null)"
  done
}

shot() {
  shot_number=$((shot_number + 1))
  local file
  file=$(printf '%s/%02d-%s-%s.png' "$screens" "$shot_number" "$path_name" "$1")
  import -window root "$file" 2>/dev/null || note "screenshot $file failed"
}

# Waits until a visible window's title matches the regular expression;
# prints its id. Polls: a search that syncs can die on a window destroyed
# under it.
wait_window() {
  local pattern=$1 timeout=$2 deadline w
  deadline=$((SECONDS + timeout))
  while [ $SECONDS -lt $deadline ]; do
    w=$(xdotool search --onlyvisible --name "$pattern" 2>/dev/null | head -n 1)
    if [ -n "$w" ]; then
      echo "$w"
      return 0
    fi
    sleep 0.2
  done
  return 1
}

wait_gone() {
  local pattern=$1 timeout=$2 deadline
  deadline=$((SECONDS + timeout))
  while [ $SECONDS -lt $deadline ]; do
    [ -z "$(xdotool search --onlyvisible --name "$pattern" 2>/dev/null)" ] && return 0
    sleep 0.2
  done
  return 1
}

# Waits for the dialog, lets it paint, takes its picture; the window id is
# left in $window. The previous dialog, which may share the caption, must
# be gone first.
window=""
expect_dialog() {
  local pattern=$1 name=$2 timeout=${3:-30} w
  if [ -n "$window" ]; then
    wait_id_gone "$window" "$timeout" || { path_fail "window $window stayed"; return 1; }
  fi
  w=$(wait_window "$pattern" "$timeout") || { path_fail "no window matching '$pattern'"; return 1; }
  window=$w
  sleep 0.7
  shot "$name"
  note "dialog '$(xdotool getwindowname "$w" 2>/dev/null)'"
}

# Ends the wait on a dialog that is left on screen on purpose (a modeless
# dialog that others follow).
keep_window() { window=""; }

wait_id_gone() {
  local id=$1 timeout=$2 deadline
  deadline=$((SECONDS + timeout))
  while [ $SECONDS -lt $deadline ]; do
    xdotool search --onlyvisible --name '.' 2>/dev/null | grep -qx "$id" || return 0
    sleep 0.1
  done
  return 1
}

keys() { xdotool key --delay 120 "$@"; }
type_text() { xdotool type --delay 120 "$1"; }

# The images the device expects, in order (default: the Target image once),
# and the program to run (default: --exe); a path may set both.
device_images=()
wizard_exe=""

start_device() {
  local extra=("$@") references=() i
  for i in "${device_images[@]}"; do references+=(--reference "$i"); done
  [ ${#references[@]} -gt 0 ] || references=(--reference "$image")
  sim_start "$logs/$path_name-port" "$logs/$path_name-sim.out" \
    "$sim" --address "$DEVICE" --http-port 80 "${references[@]}" \
    --verdict "$logs/$path_name-verdict.json" --log "$logs/$path_name-device.log" \
    --reboot-seconds 15 --time-limit 300 "${extra[@]}" ||
    path_fail "the device simulator did not start"
}

stop_device() { sims_stop; }

start_wizard() {
  export WINEPREFIX="$work/prefix-$path_name"
  wine_prefix_fresh "$WINEPREFIX"
  rm -f "$logs/$path_name-rc"
  (
    wine "${wizard_exe:-$exe}" >"$logs/$path_name-wine.out" 2>&1
    echo $? >"$logs/$path_name-rc"
  ) &
}

# The process must end by itself with exit code 0.
expect_exit_zero() {
  local timeout=${1:-30} deadline
  deadline=$((SECONDS + timeout))
  while [ $SECONDS -lt $deadline ] && [ ! -s "$logs/$path_name-rc" ]; do sleep 0.2; done
  [ -s "$logs/$path_name-rc" ] || { path_fail "the program did not end"; return 1; }
  local rc
  rc=$(cat "$logs/$path_name-rc")
  [ "$rc" = 0 ] || { path_fail "exit code $rc"; return 1; }
  note "exit code 0"
}

# Nothing shows up for a while (a silent end must stay silent).
expect_no_window() {
  local seconds=$1 deadline
  deadline=$((SECONDS + seconds))
  while [ $SECONDS -lt $deadline ]; do
    if [ -n "$(xdotool search --onlyvisible --name '.' 2>/dev/null)" ]; then
      path_fail "a window appeared"
      return 1
    fi
    sleep 0.2
  done
}

verdict_has() {
  grep -q -- "$1" "$logs/$path_name-verdict.json" 2>/dev/null
}

# Each path leaves its logs and pictures; its 700 MB prefix goes.
finish_path() {
  stop_device
  if [ -n "${WINEPREFIX:-}" ]; then
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    rm -rf "$WINEPREFIX"
    unset WINEPREFIX
  fi
  window=""
  device_images=()
  wizard_exe=""
}

# Warning, Continue (Tab from the focused Cancel), then the address dialog.
through_warning() {
  expect_dialog '^QEL-742/QEL-722 Firmware Upgrade$' warning 60 || return 1
  keys Tab space
}

# ---- paths ------------------------------------------------------------------

# Cancel in the warning dialog (Enter presses it: it has the focus and is the
# default button): no message, exit code 0, the device never asked.
path_warning_cancel() {
  start_device || return 1
  start_wizard
  expect_dialog '^QEL-742/QEL-722 Firmware Upgrade$' warning 60 || return 1
  keys Return
  expect_exit_zero 20 || return 1
  expect_no_window 2 || return 1
  stop_device
  ! grep -q '^HTTP-CONN' "$logs/$path_name-device.log" || { path_fail "the device was contacted"; return 1; }
}

# An empty address is refused with a box owned by the dialog; then the real
# address, the device query, and Cancel in the confirm dialog: "User Abort",
# OK, exit code 0, no upgrade request.
path_confirm_cancel() {
  start_device || return 1
  start_wizard
  through_warning || return 1
  expect_dialog '^QEL-742/QEL-722 Firmware Upgrade$' address || return 1
  keys Return
  keep_window  # the box stands over the address dialog
  expect_dialog '^Error$' invalid-address || return 1
  keys Return
  wait_gone '^Error$' 10 || { path_fail "the error box stayed"; return 1; }
  type_text "$DEVICE"
  keys shift+Tab Down
  sleep 0.3
  shot address-filled
  keys Return
  expect_dialog '^Confirm Upgrade to Ver\. 5\.2\.5$' confirm 30 || return 1
  keys Escape
  expect_dialog '^QEL Firwmare Upgrade Error$' user-abort || return 1
  keys Return
  expect_exit_zero 20 || return 1
  stop_device
  verdict_has '"upgrade_requests":0' || { path_fail "an upgrade was requested"; return 1; }
  grep -q '^HTTP-REQ GET /admin/advanced ' "$logs/$path_name-device.log" ||
    { path_fail "the device was not queried"; return 1; }
}

# The whole upgrade. $1: the password to type when the device asks for one;
# $2: "hold" when the simulator holds the waiting and upload dialogs up long
# enough to be seen (a wrong file name first, some late ACKs), otherwise they
# may pass faster than the polling and only the later dialogs are required.
full_upgrade() {
  local password=$1 hold=$2
  start_wizard
  through_warning || return 1
  expect_dialog '^QEL-742/QEL-722 Firmware Upgrade$' address || return 1
  type_text "$DEVICE"
  keys shift+Tab Down
  sleep 0.3
  shot address-filled
  keys Return
  if [ -n "$password" ]; then
    expect_dialog '^Enter Password Information$' password 30 || return 1
    type_text "$password"
    shot password-typed
    keys Return
  fi
  expect_dialog '^Confirm Upgrade to Ver\. 5\.2\.5$' confirm 30 || return 1
  keys Return
  local waiting='^Waiting For Firmware Download Request From QEL$'
  local uploading='^Uploading Target Firmware to QEL@127\.0\.0\.2 [0-9]+/871243 Bytes$'
  if [ "$hold" = hold ]; then
    expect_dialog "$waiting" waiting 30 || return 1
    expect_dialog "$uploading" uploading 30 || return 1
  else
    wait_id_gone "$window" 10
    window=$(wait_window "$waiting|$uploading" 10) && shot waiting-or-uploading
  fi
  keep_window  # the upload dialog stays; its caption changes
  expect_dialog '^Updating Target Firmware to QEL@127\.0\.0\.2$' updating 60 || return 1
  expect_dialog '^QEL@127\.0\.0\.2 Upgrade Successful!$' success "$UPGRADE_TIMEOUT" || return 1
  keys Return
  expect_exit_zero 30 || return 1
  stop_device
  verdict_has '"identical":true' || { path_fail "the image did not arrive byte-identical"; return 1; }
  verdict_has '"complete":true' || { path_fail "the transfer was not complete"; return 1; }
  verdict_has '"reference_match":true' || { path_fail "the device does not report the image"; return 1; }
  verdict_has '"server":"127.0.0.1:69"' ||
    { path_fail "the upgrade request did not name 127.0.0.1:69 (the chosen local address)"; return 1; }
  note "device verdict: $(cat "$logs/$path_name-verdict.json")"
}

path_upgrade() {
  start_device --wrong-name-first /qelwrong.bi1 --wrong-name-pause-ms 3000 \
    --ack-delay 400-449 --ack-delay-ms 50 || return 1
  full_upgrade "" hold || return 1
  verdict_has '"wrong_name_answered":false' || { path_fail "the wrong file name was answered"; return 1; }
}

path_password_upgrade() {
  start_device --password "$PASSWORD" || return 1
  full_upgrade "$PASSWORD" "" || return 1
  grep -q '^HTTP-AUTH ok' "$logs/$path_name-device.log" ||
    { path_fail "the device never accepted credentials"; return 1; }
}

# The two-stage build against a device older than its Transition version
# (the simulator's 5.1.2(GR)): the Transition image, the device's restart,
# then the Target image, each stage through its own dialogs, and the success
# dialog once, at the end.
path_two_stage() {
  device_images=("$transition_image" "$image")
  wizard_exe=$two_stage_exe
  start_device || return 1
  start_wizard
  through_warning || return 1
  expect_dialog '^QEL-742/QEL-722 Firmware Upgrade$' address || return 1
  type_text "$DEVICE"
  keys shift+Tab Down
  sleep 0.3
  keys Return
  expect_dialog '^Confirm Upgrade to Ver\. 5\.2\.5$' confirm-transition 30 || return 1
  keys Return
  local stage waiting='^Waiting For Firmware Download Request From QEL$'
  for stage in Transition Target; do
    # The device asks at once: the waiting dialog may pass unseen. Before
    # the Target stage the Transition's restart wait (30 s) ends first.
    wait_id_gone "$window" 60
    window=$(wait_window "$waiting|^Uploading $stage Firmware to QEL@127\.0\.0\.2 " 30) &&
      shot "$stage-waiting-or-uploading"
    keep_window  # the upload dialog stays; its caption changes
    expect_dialog "^Updating $stage Firmware to QEL@127\.0\.0\.2\$" "$stage-updating" 60 || return 1
  done
  expect_dialog '^QEL@127\.0\.0\.2 Upgrade Successful!$' success "$UPGRADE_TIMEOUT" || return 1
  keys Return
  expect_exit_zero 30 || return 1
  stop_device
  local verdict
  verdict=$(cat "$logs/$path_name-verdict.json" 2>/dev/null)
  verdict_has '"upgrade_requests":2' || { path_fail "not two upgrade requests: $verdict"; return 1; }
  grep -o '"file":"[^"]*"' <<<"$verdict" | tr '\n' ' ' |
    grep -Eqx '"file":"[^"]*\.bi0" "file":"[^"]*\.bi1" ' ||
    { path_fail "not the Transition file, then the Target file: $verdict"; return 1; }
  verdict_has '"reference_match":true' ||
    { path_fail "the images did not arrive byte-identical, in order: $verdict"; return 1; }
  verdict_has '"reported_version":"5.2.5"' || { path_fail "the device does not report 5.2.5: $verdict"; return 1; }
  note "device verdict: $verdict"
}

# ---- run --------------------------------------------------------------------

all_paths=(warning_cancel confirm_cancel upgrade password_upgrade)
[ -n "$two_stage_exe" ] && all_paths+=(two_stage)
[ ${#only[@]} -gt 0 ] && all_paths=("${only[@]}")
passed=0
started=$SECONDS
for path_name in "${all_paths[@]}"; do
  echo "path $path_name"
  t0=$SECONDS
  if "path_$path_name"; then
    passed=$((passed + 1))
    note "passed in $((SECONDS - t0)) s"
  else
    failures+=("$path_name")
  fi
  finish_path
done
say "${#all_paths[@]} paths in $((SECONDS - started)) s; screenshots in $screens"
echo "${passed} passed, ${#failures[@]} failed"
[ ${#failures[@]} -eq 0 ]
