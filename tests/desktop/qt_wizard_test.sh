#!/usr/bin/env bash
# The desktop program under Xvfb, driven with xdotool as a person would:
# clicks on the buttons where they are drawn, typing into the focused field,
# Enter on message boxes. The X server requires its cookie, as a desktop's
# does. Screenshots of every dialog go to OUT/qt-SCENARIO.
#
#   qt_wizard_test.sh upgrade|cancel PROGRAM SIMULATOR CHECKER OUT [DISPLAY_NUMBER]
#
# upgrade: Continue; the address 300.1.1.1, refused with "Invalid IP Address"
#          and kept as typed, with the focus back in the field, where typing
#          replaces it with 127.0.0.2; the password dialog (the device asks
#          for one); Upgrade; Esc and Enter on the waiting and the upload
#          dialogs, which do nothing; the transfer and the wait after it; OK
#          on the success dialog.
# cancel:  Continue, 127.0.0.2, Cancel on the confirm dialog, OK on
#          "Upgrade Failed: User Abort"; nothing is sent to the device.
set -u
SCENARIO=$1 PROGRAM=$2 SIM=$3 CHECKER=$4 OUT=$5 NUMBER=${6:-93}
. "$(dirname "$0")/common.sh" || exit 1

need Xvfb xdotool xauth xprop import convert compare
enter_namespace "$@"

OUT=$OUT/qt-$SCENARIO
rm -rf "$OUT"
mkdir -p "$OUT"
echo "screenshots: $OUT"
export DISPLAY=:$NUMBER
LOG=$OUT/geometry.log
: >"$LOG"
ON_FAIL='shot zz-failure; echo "--- program:"; cat "$OUT/program.out"; echo "--- geometry:"; tail -5 "$LOG"; echo "--- device:"; tail -5 "$OUT/device.log"'

# Xvfb listens on a unix socket only, which every namespace reaches through
# the file system. Like a desktop's X server it lets in only the clients
# that show its cookie.
[ -e /tmp/.X11-unix/X$NUMBER ] && skip "display :$NUMBER is taken (remove /tmp/.X11-unix/X$NUMBER if stale)"
export XAUTHORITY=$OUT/Xauthority
PROGRAM_PID='' XVFB_PID=''
trap 'stop_device; kill $PROGRAM_PID $XVFB_PID 2>/dev/null' EXIT
start_xvfb "$NUMBER" "$OUT/xvfb.log" "$XAUTHORITY" || fail "Xvfb did not start"
XAUTHORITY=/dev/null xdotool getmouselocation >/dev/null 2>&1 &&
  fail "the X server lets in a client without its cookie"

PASSWORD=()
[ "$SCENARIO" = upgrade ] && PASSWORD=(--password secret)
if [ "$SCENARIO" = upgrade ]; then
  start_device "$OUT" "${SLOW_REQUEST[@]}" "${PASSWORD[@]}"
else
  start_device "$OUT"
fi

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

# A control of the last shown dialog of that template, in screen pixels:
# "x y width height".
control_rect() {
  awk -v t="$1" -v id="$2" '
    $1 == "dialog" && $2 == t { cx = $15; cy = $16 }
    $1 == "control" && $2 == t && $4 == id { r = (cx + $5) " " (cy + $6) " " $7 " " $8 }
    END { if (r == "") exit 1; print r }' "$LOG"
}

click() {
  local r
  r=($(control_rect "$1" "$2")) || fail "no control $2 in dialog $1"
  xdotool mousemove $((r[0] + r[2] / 2)) $((r[1] + r[3] / 2)) click 1
}

shot() {
  import -window root "$OUT/$1.png" || fail "screenshot $1"
}

# The part of a screenshot where a control stands.
crop() {
  local r
  r=($(control_rect "$2" "$3")) || fail "no control $3 in dialog $2"
  convert "$OUT/$1.png" -crop "${r[2]}x${r[3]}+${r[0]}+${r[1]}" +repage "$OUT/$4.png"
}

window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1; }

# Message boxes are found by their title, and closed with Enter on OK.
wait_box() {
  wait_until 20 "[ -n \"\$(window '^$1\$')\" ]" || fail "message box '$1' did not appear"
  sleep 0.3
}

close_box() {
  xdotool windowfocus --sync "$(window "^$1\$")" key Return
  wait_until 10 "[ -z \"\$(window '^$1\$')\" ]" || fail "message box '$1' did not close"
}

# Every dialog stands in the middle of the screen.
check_centred() {
  awk -v t="$1" '$1 == "dialog" && $2 == t { x = $10; y = $11; w = $12; h = $13; sw = $7; sh = $8 }
    END { if (x != int((sw - w) / 2) || y != int((sh - h) / 2)) { print "dialog " t " at " x "," y " size " w "x" h; exit 1 } }' "$LOG" ||
    fail "dialog $1 is not centred"
}

# A window of fixed size that the window manager must not offer to
# minimise or maximise: its minimum and maximum sizes agree, and its Motif
# hints name the functions it allows (close, move), without those two.
check_fixed_frame() {
  local id hints functions
  id=$(window "$1") || true
  [ -n "$id" ] || fail "no window '$1'"
  hints=$(xprop -id "$id" WM_NORMAL_HINTS _MOTIF_WM_HINTS)
  local minimum maximum
  minimum=$(echo "$hints" | sed -n 's/.*minimum size: //p')
  maximum=$(echo "$hints" | sed -n 's/.*maximum size: //p')
  [ -n "$minimum" ] && [ "$minimum" = "$maximum" ] || fail "'$1' can be resized: $hints"
  functions=$(echo "$hints" | sed -n 's/^_MOTIF_WM_HINTS[^=]*= \([^,]*\), \([^,]*\),.*/\2/p')
  [ -n "$functions" ] || fail "'$1' has no Motif hints: $hints"
  # MWM_FUNC_ALL 1, MINIMIZE 8, MAXIMIZE 16.
  (((functions & (1 | 8 | 16)) == 0)) || fail "'$1' offers minimise or maximise: $hints"
}

# Esc and Enter reach the window and change nothing.
stray_keys() {
  local id
  id=$(window "$1")
  [ -n "$id" ] || fail "no window '$1' for the keys"
  xdotool windowfocus --sync "$id" key Escape key Return key KP_Enter
  sleep 0.5
  [ -z "$(window '^QEL Firwmare Upgrade Error$')" ] || fail "a key aborted the upgrade in '$1'"
}

ADDRESS_TEMPLATES="$IDD_ADDRESS_ADAPTER|$IDD_ADDRESS_PHONE"
wait_dialog "$IDD_WARNING" 1
shot 01-warning
check_centred "$IDD_WARNING"
check_fixed_frame 'Firmware Upgrade$'
click "$IDD_WARNING" "$IDOK" # Continue

wait_dialog "$ADDRESS_TEMPLATES" 1
ADDRESS=$(awk -v a="$IDD_ADDRESS_ADAPTER" -v b="$IDD_ADDRESS_PHONE" \
  '$1 == "dialog" && ($2 == a || $2 == b) { print $2 }' "$LOG" | tail -1)
shot 02-address
check_centred "$ADDRESS"

if [ "$SCENARIO" = upgrade ]; then
  # An address with a part above 255 is kept as typed and refused on OK;
  # the dialog stays, with the text and the focus in the field.
  xdotool type --delay 40 "300.1.1.1"
  sleep 0.3
  shot 03-address-300
  crop 03-address-300 "$ADDRESS" "$IDC_DEVICE_ADDRESS" field-typed
  click "$ADDRESS" "$IDOK"
  wait_box Error
  shot 04-invalid-address
  check_fixed_frame '^Error$'
  close_box Error
  sleep 0.3
  shot 05-after-the-box
  crop 05-after-the-box "$ADDRESS" "$IDC_DEVICE_ADDRESS" field-after
  # The caret may blink between the two; a lost text or focus differs by
  # hundreds of pixels.
  DIFFERENT=$(compare -metric AE -fuzz 10% "$OUT/field-typed.png" "$OUT/field-after.png" null: 2>&1)
  [ "${DIFFERENT%% *}" -lt 60 ] 2>/dev/null ||
    fail "the address field changed after the box ($DIFFERENT pixels differ): see field-typed.png and field-after.png"
  # Typing goes into the field: select its text and type the right address.
  xdotool key ctrl+a
  xdotool type --delay 40 "127.0.0.2"
else
  xdotool type --delay 40 "127.0.0.2"
fi
sleep 0.2
shot 06-address-typed
xdotool key Return # OK is the default button

if [ "$SCENARIO" = upgrade ]; then
  wait_dialog "$IDD_PASSWORD" 1
  shot 07-password
  check_centred "$IDD_PASSWORD"
  check_fixed_frame '^Enter Password Information$'
  # The explanation scrolls to its last line.
  click "$IDD_PASSWORD" "$IDC_PASSWORD_EXPLANATION"
  xdotool key ctrl+End
  sleep 0.3
  shot 08-password-scrolled
  click "$IDD_PASSWORD" "$IDC_PASSWORD"
  xdotool type --delay 40 "secret"
  xdotool key Return
fi

wait_dialog "$IDD_CONFIRM_TARGET|$IDD_CONFIRM_TRANSITION" 1
CONFIRM=$(awk -v a="$IDD_CONFIRM_TARGET" -v b="$IDD_CONFIRM_TRANSITION" \
  '$1 == "dialog" && ($2 == a || $2 == b) { print $2 }' "$LOG" | tail -1)
shot 09-confirm
check_centred "$CONFIRM"
"$CHECKER" "$LOG" || fail "controls do not stand where their templates put them"

if [ "$SCENARIO" = cancel ]; then
  click "$CONFIRM" "$IDCANCEL" # Cancel
  wait_box 'QEL Firwmare Upgrade Error'
  shot 10-user-abort
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

click "$CONFIRM" "$IDOK" # Upgrade
START=$SECONDS
wait_dialog "$IDD_WAITING" 1
shot 10-waiting-for-request
stray_keys '^Waiting For Firmware Download Request From QEL$'
wait_dialog "$IDD_UPLOAD" 1
shot 11-upload
wait_until 20 "grep -q 'REBOOT start' '$OUT/device.log'" || fail "the transfer did not finish"
wait_until 10 "[ -n \"\$(window '^Updating .* Firmware to QEL@127.0.0.2$')\" ]" ||
  fail "no wait after the transfer"
shot 12-waiting-for-reboot
stray_keys '^Updating .* Firmware to QEL@127.0.0.2$'
wait_until 60 "[ \$(grep -cE '^dialog $IDD_SUCCESS ' '$LOG' 2>/dev/null) -ge 1 ]" || fail "no success dialog"
sleep 0.3
shot 13-success
check_centred "$IDD_SUCCESS"
echo "success dialog after $((SECONDS - START)) s"
click "$IDD_SUCCESS" "$IDOK" # OK
wait_until 10 "! kill -0 $PROGRAM_PID 2>/dev/null" || fail "the program did not end after OK"
wait "$PROGRAM_PID"
STATUS=$?
PROGRAM_PID=
[ $STATUS -eq 0 ] || fail "exit code $STATUS, expected 0"
stop_device
grep -q '"reboots":1' "$OUT/device.json" || fail "the device did not reflash: $(cat "$OUT/device.json")"
grep -q '"complete":true' "$OUT/device.json" || fail "incomplete transfer: $(cat "$OUT/device.json")"
grep -q '"wrong_name_answered":false' "$OUT/device.json" || fail "the wrong file name was answered"
grep -q 'HTTP-AUTH ok' "$OUT/device.log" || fail "the password never reached the device"
echo "PASS: qt upgrade"
