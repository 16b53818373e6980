#!/usr/bin/env bash
# The program in a terminal (tmux, 80 x 24), without a display, driven with
# keys as a person would; every screen is captured as text into OUT.
#
#   terminal_wizard_test.sh upgrade|cancel|no-privilege PROGRAM SIMULATOR OUT
#
# upgrade:      Continue; 300.1.1.1 and OK, refused and kept as typed, the
#               focus back in the field, where it is corrected to 127.0.0.2; the
#               password dialog, whose whole text is reached by scrolling;
#               Upgrade; Esc and Enter on the waiting and the upload dialogs,
#               which do nothing; the transfer and the wait after it; OK on
#               the success dialog; exit code 0.
# cancel:       Continue, 127.0.0.2, Upgrade, then Ctrl-C on the waiting
#               dialog: "Upgrade Failed: User Abort", as its Cancel button
#               gives; the firmware is never sent.
# no-privilege: an unprivileged user, who may not bind the TFTP ports: the
#               first thing shown is the message with the command that gives
#               program's port helper the right; exit code 0.
set -u
SCENARIO=$1 PROGRAM=$2 SIM=$3 OUT=$4
. "$(dirname "$0")/common.sh" || exit 1

need tmux
if [ "$SCENARIO" = no-privilege ]; then
  # A namespace of the real root, so that an unprivileged user in it lacks
  # CAP_NET_BIND_SERVICE there.
  need setpriv
  need_root "to make a namespace an unprivileged user can run in"
  enter_namespace --root "$@"
  # nobody runs a copy, with the terminal wizard and the port helper beside
  # it as in the build folder, which may lie under a home closed to others.
  FOLDER=$(dirname "$(readlink -f "$PROGRAM")")
  COPY=$(mktemp -d /tmp/qel-no-privilege.XXXXXX) && chmod 755 "$COPY" &&
    cp "$PROGRAM" "$FOLDER/qel-upgrade-terminal" "$FOLDER/qel-upgrade-bind" "$COPY/" ||
    fail "cannot copy $PROGRAM, the terminal wizard and the port helper to $COPY"
  PROGRAM=$COPY/$(basename "$PROGRAM")
  setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$PROGRAM" ||
    skip "an unprivileged user cannot run $PROGRAM (/tmp is closed to others)"
else
  enter_namespace "$@"
fi

OUT=$OUT/terminal-$SCENARIO
rm -rf "$OUT"
mkdir -p "$OUT"
echo "screens: $OUT"
TMUX_CMD=(tmux -L "qel-test-$$" -f /dev/null)
ON_FAIL='echo "--- screen:"; "${TMUX_CMD[@]}" capture-pane -t wizard -p; echo "--- device:"; tail -5 "$OUT/device.log"'
trap 'stop_device; "${TMUX_CMD[@]}" kill-server 2>/dev/null; [ -n "${COPY:-}" ] && rm -rf "$COPY"' EXIT

case $SCENARIO in
  upgrade) start_device "$OUT" "${SLOW_REQUEST[@]}" --password secret ;;
  cancel) start_device "$OUT" "${SLOW_REQUEST[@]}" ;;
  *) start_device "$OUT" ;;
esac

RUN=$PROGRAM
[ "$SCENARIO" = no-privilege ] &&
  RUN="setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all $PROGRAM"
# The pane keeps the program's last words and its exit code.
"${TMUX_CMD[@]}" new-session -d -s wizard -x 80 -y 24 \
  "env -u DISPLAY -u WAYLAND_DISPLAY TERM=xterm HOME=/tmp $RUN 2>'$OUT/stderr.txt'; echo \"EXIT=\$?\"; sleep 600" ||
  fail "tmux did not start"

screen() { "${TMUX_CMD[@]}" capture-pane -t wizard -p; }
# The screen's words alone: no box drawing or scroll bar, one blank between
# words, so that a text wrapped inside a box reads as one line.
words() { screen | sed 's/[│┌┐└┘─┤├▒░█↑↓▮]/ /g' | tr -s ' \n' '  '; }

wait_screen() {
  wait_until 40 "screen | grep -qF -- \"$1\"" || fail "no screen with: $1"
  sleep 0.3 # let the rest of the screen be drawn
}

save() { screen >"$OUT/$1.txt"; }

keys() { "${TMUX_CMD[@]}" send-keys -t wizard "$@"; }

# The bottom row tells the keys of the window on top.
legend() { screen | tail -1 | grep -qF -- "$1" || fail "the key legend lacks '$1': $(screen | tail -1)"; }

if [ "$SCENARIO" = no-privilege ]; then
  # Before any dialog: the failure and the command for this program's path.
  wait_screen "Can't bind TFTP listener socket"
  save 01-no-privilege
  screen | grep -q "WARNING: Forcing" && fail "a dialog came before the message"
  # The right goes to the port helper beside the program, never to the program.
  REAL=$(dirname "$(readlink -f "$PROGRAM")")/qel-upgrade-bind
  words | grep -qF "sudo setcap cap_net_bind_service=+ep $REAL" ||
    fail "the message lacks the command for $REAL: $(words)"
  keys Enter
  wait_screen "EXIT=0"
  grep -qx "  sudo setcap cap_net_bind_service=+ep $REAL" "$OUT/stderr.txt" ||
    fail "stderr lacks the command on a line of its own: $(cat "$OUT/stderr.txt")"
  grep -q "UPGRADE request" "$OUT/device.log" && fail "the device was asked to upgrade"
  echo "PASS: terminal no-privilege"
  exit 0
fi

wait_screen "WARNING: Forcing a firmware upgrade"
save 01-warning
grep -q "qel-upgrade: no display (DISPLAY and WAYLAND_DISPLAY unset), using the terminal" \
  "$OUT/stderr.txt" || fail "no reason given for the terminal: $(cat "$OUT/stderr.txt")"
screen | grep -q '<Continue>.*<Cancel>' || fail "no buttons on the warning"
words | grep -qF "without any onus on the end user to upgrade manually." || fail "the warning is cut: $(words)"
legend "Tab: move  Enter: press button  Esc/Ctrl-C: Cancel"
keys Tab Enter # from Cancel, where the focus starts, to Continue

wait_screen "Please enter IP address of your QEL"
save 02-address
screen | grep -q "Version 5.2.5" || fail "no version line"
screen | grep -q "Your IP Address 127.0.0.1" || fail "no local address choice"
if [ "$SCENARIO" = upgrade ]; then
  keys 300.1.1.1 Tab Enter # OK pressed where it stands, as a click would
  wait_screen "Invalid IP Address"
  save 03-invalid-address
  legend "Enter: OK"
  keys Enter
  wait_until 10 "! screen | grep -q 'Invalid IP Address'" || fail "the box did not close"
  screen | grep -q "300\.1\.1\.1" || fail "the typed address is gone after the box"
  # The focus is back in the field: the keys correct what was typed there.
  keys BSpace BSpace BSpace BSpace BSpace BSpace BSpace BSpace BSpace
fi
keys 127.0.0.2
sleep 0.3
save 04-address-typed
screen | grep -q "127.0.0.2" || fail "the typed address does not show"
keys Enter

if [ "$SCENARIO" = upgrade ]; then
  # The explanation is longer than 80 x 24 leaves it: a hint says there is
  # more, and scrolling shows every line of it.
  wait_screen "This QEL requires a password"
  save 05-password
  screen | grep -qF "more below: Tab to it, then Down or PgDn" || fail "no hint that the text goes on"
  legend "Down/PgDn: scroll text"
  SEEN=$(words)
  keys Tab # from the password field to the text
  for n in 1 2 3 4 5 6 7 8 9 10 11 12; do
    keys Down
    sleep 0.1
    SEEN="$SEEN $(words)"
  done
  save 06-password-scrolled
  for text in "You must provide the QEL administrator's" "factory reset by entering # # # #, option 40516#," \
    "* * * * * * * * * * * Warning * * * * * * * * * * *" "after factory reset! You may not be able to" \
    "without first reentering service configuration" "information."; do
    echo "$SEEN" | grep -qF -- "$text" || fail "the password text never shows: $text"
  done
  keys BTab # back to the password field
  keys secret Enter
fi

wait_screen "Confirm Upgrade to Ver. 5.2.5"
save 07-confirm
for text in "Serial Number" "FM500012345" "MAC Address" "00:0E:08:12:34:56" "Software Version" \
  "5.1.2(GR)" "Hardware Version" "1.0.3" "Product Name" "QEL-742" "<Upgrade>" "<Cancel>"; do
  screen | grep -qF -- "$text" || fail "confirm dialog lacks $text"
done
# Each label stands on its field's row.
screen | grep -q "Serial Number *FM500012345" || fail "label and field apart"
keys Enter # Upgrade: the default button, with the focus

wait_screen "Firmware upload will begin when the QEL is idle"
save 08-waiting-for-request
legend "Ctrl-C: cancel the upgrade"
if [ "$SCENARIO" = cancel ]; then
  # Ctrl-C is the dialog's Cancel: the same message, the same end.
  keys C-c
  wait_screen "Upgrade Failed: User Abort"
  save 09-user-abort
  keys Enter
  wait_screen "EXIT=0"
  save 10-after
  stop_device
  grep -q '"complete":true' "$OUT/device.json" && fail "the firmware was sent after Ctrl-C"
  echo "PASS: terminal cancel"
  exit 0
fi

START=$SECONDS
# Esc and Enter do nothing in the progress dialogs (apart, so that the two
# are not read as one escape sequence).
keys Escape
sleep 0.3
keys Enter
wait_screen "Please do not unplug the power"
save 09-upload
wait_until 20 "grep -q 'REBOOT start' '$OUT/device.log'" || fail "the transfer did not finish"
sleep 1
keys Escape
sleep 0.3
keys Enter
sleep 0.5
save 10-waiting-for-reboot
screen | grep -q "User Abort" && fail "a key aborted the upgrade"
wait_screen "Upgrade Successful!"
save 11-success
echo "success dialog after $((SECONDS - START)) s"
screen | grep -qF "QEL@127.0.0.2 Upgrade Successful!" || fail "success caption"
screen | grep -qF "5.2.5" || fail "no new version on the success dialog"
keys Enter
wait_screen "EXIT=0"
save 12-after
stop_device
grep -q '"reboots":1' "$OUT/device.json" || fail "the device did not reflash: $(cat "$OUT/device.json")"
grep -q '"complete":true' "$OUT/device.json" || fail "incomplete transfer"
grep -q '"wrong_name_answered":false' "$OUT/device.json" || fail "the wrong file name was answered"
echo "PASS: terminal upgrade"
