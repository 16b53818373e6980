#!/usr/bin/env bash
# The desktop program under Xvfb, driven with xdotool as a person would:
# clicks on the buttons where they are drawn, typing into the focused field,
# Enter on message boxes. Screenshots of every dialog go to OUT.
#
#   qt_wizard_test.sh upgrade|cancel PROGRAM SIMULATOR CHECKER OUT [DISPLAY_NUMBER]
#
# upgrade: Continue, an invalid address first, then 127.0.0.2, Upgrade, the
#          waiting dialog (the device asks for a wrong file first), the
#          transfer and the wait after it, OK on the success dialog.
# cancel:  Continue, 127.0.0.2, Cancel on the confirm dialog, OK on
#          "Upgrade Failed: User Abort"; nothing is sent to the device.
set -u
SCENARIO=$1 PROGRAM=$2 SIM=$3 CHECKER=$4 OUT=$5 NUMBER=${6:-93}
. "$(dirname "$0")/common.sh"

need Xvfb xdotool import
enter_namespace "$@"

OUT=$OUT/qt-$SCENARIO
rm -rf "$OUT"
mkdir -p "$OUT"
export DISPLAY=:$NUMBER
LOG=$OUT/geometry.log
: >"$LOG"
: >"$LOG"
ON_FAIL='echo "--- program:"; cat "$OUT/program.out"; echo "--- geometry:"; tail -5 "$LOG"; echo "--- device:"; tail -5 "$OUT/device.log"'

# Xvfb runs outside the network namespace's concerns: it listens on a unix
# socket only, which every namespace reaches through the file system.
[ -e /tmp/.X11-unix/X$NUMBER ] && skip "display :$NUMBER is taken (remove /tmp/.X11-unix/X$NUMBER if stale)"
Xvfb ":$NUMBER" -screen 0 1024x768x24 -nolisten tcp >"$OUT/xvfb.log" 2>&1 &
XVFB_PID=$!
trap 'stop_device; kill $PROGRAM_PID $XVFB_PID 2>/dev/null' EXIT
wait_until 10 "xdotool getmouselocation >/dev/null 2>&1" || fail "Xvfb did not start"

if [ "$SCENARIO" = upgrade ]; then start_device "$OUT" "${SLOW_REQUEST[@]}"; else start_device "$OUT"; fi

PROGRAM_PID=
QEL_QT_GEOMETRY_LOG=$LOG "$PROGRAM" >"$OUT/program.out" 2>&1 &
PROGRAM_PID=$!

# Waits for the n-th opening of a template (from 1), as the geometry log
# records it once the window is on the screen.
wait_dialog() {
  local template=$1 count=$2
  wait_until 30 "[ \$(grep -cE '^dialog ($template) ' '$LOG' 2>/dev/null) -ge $count ]" ||
    fail "dialog $template (opening $count) did not appear"
  sleep 0.3  # let it paint before the screenshot
}

# The centre of a control of the last shown dialog of that template, in
# screen pixels.
control_centre() {
  awk -v t="$1" -v id="$2" '
    $1 == "dialog" && $2 == t { cx = $15; cy = $16 }
    $1 == "control" && $2 == t && $4 == id { x = cx + $5 + int($7 / 2); y = cy + $6 + int($8 / 2) }
    END { if (x == "") exit 1; print x, y }' "$LOG"
}

click() {
  local where
  where=$(control_centre "$1" "$2") || fail "no control $2 in dialog $1"
  xdotool mousemove $where click 1
}

shot() {
  import -window root "$OUT/$1.png" || fail "screenshot $1"
}

# Message boxes are found by their title, and closed with Enter on OK.
wait_box() {
  wait_until 20 "xdotool search --onlyvisible --name '^$1\$' >/dev/null 2>&1" ||
    fail "message box '$1' did not appear"
  sleep 0.3
}

close_box() {
  local id
  id=$(xdotool search --onlyvisible --name "^$1\$" | head -1)
  xdotool windowfocus --sync "$id" key Return
  wait_until 10 "! xdotool search --onlyvisible --name '^$1\$' >/dev/null 2>&1" ||
    fail "message box '$1' did not close"
}

# Every dialog stands in the middle of the screen.
check_centred() {
  awk -v t="$1" '$1 == "dialog" && $2 == t { x = $10; y = $11; w = $12; h = $13; sw = $7; sh = $8 }
    END { if (x != int((sw - w) / 2) || y != int((sh - h) / 2)) { print "dialog " t " at " x "," y " size " w "x" h; exit 1 } }' "$LOG" ||
    fail "dialog $1 is not centred"
}

ADDRESS_TEMPLATES='101|305'
wait_dialog 139 1
shot 01-warning
check_centred 139
click 139 1  # Continue

wait_dialog "$ADDRESS_TEMPLATES" 1
ADDRESS=$(awk '$1 == "dialog" && ($2 == 101 || $2 == 305) { print $2 }' "$LOG" | tail -1)
shot 02-address
check_centred "$ADDRESS"

if [ "$SCENARIO" = upgrade ]; then
  # An incomplete address is refused with a box; the dialog stays.
  xdotool type --delay 40 "1.2.3"
  click "$ADDRESS" 1
  wait_box Error
  shot 03-invalid-address
  close_box Error
  click "$ADDRESS" 1000
  xdotool key ctrl+a BackSpace
fi
xdotool type --delay 40 "127.0.0.2"
sleep 0.2
shot 04-address-typed
xdotool key Return  # OK is the default button

wait_dialog '103|304' 1
CONFIRM=$(awk '$1 == "dialog" && ($2 == 103 || $2 == 304) { print $2 }' "$LOG" | tail -1)
shot 05-confirm
check_centred "$CONFIRM"
"$CHECKER" "$LOG" || fail "controls do not stand where their templates put them"

if [ "$SCENARIO" = cancel ]; then
  click "$CONFIRM" 2  # Cancel
  wait_box 'QEL Firwmare Upgrade Error'
  shot 06-user-abort
  close_box 'QEL Firwmare Upgrade Error'
  wait_until 10 "! kill -0 $PROGRAM_PID 2>/dev/null" || fail "the program did not end after the abort"
  wait "$PROGRAM_PID"
  STATUS=$?
  PROGRAM_PID=
  [ $STATUS -eq 0 ] || fail "exit code $STATUS, expected 0"
  grep -q 'UPGRADE request' "$OUT/device.log" && fail "the device was asked to upgrade after Cancel"
  echo "PASS: qt cancel"
  exit 0
fi

click "$CONFIRM" 1  # Upgrade
START=$SECONDS
wait_dialog 114 1
shot 06-waiting-for-request
wait_dialog 110 1
shot 07-upload
wait_until 20 "grep -q 'REBOOT start' '$OUT/device.log'" || fail "the transfer did not finish"
sleep 1
shot 08-waiting-for-reboot
wait_until 60 "[ \$(grep -cE '^dialog 111 ' '$LOG' 2>/dev/null) -ge 1 ]" || fail "no success dialog"
sleep 0.3
shot 09-success
check_centred 111
echo "success dialog after $((SECONDS - START)) s"
click 111 1  # OK
wait_until 10 "! kill -0 $PROGRAM_PID 2>/dev/null" || fail "the program did not end after OK"
wait "$PROGRAM_PID"
STATUS=$?
PROGRAM_PID=
[ $STATUS -eq 0 ] || fail "exit code $STATUS, expected 0"
stop_device
grep -q '"reboots":1' "$OUT/device.json" || fail "the device did not reflash: $(cat "$OUT/device.json")"
grep -q '"complete":true' "$OUT/device.json" || fail "incomplete transfer: $(cat "$OUT/device.json")"
grep -q '"wrong_name_answered":false' "$OUT/device.json" || fail "the wrong file name was answered"
echo "PASS: qt upgrade"
