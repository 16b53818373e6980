#!/usr/bin/env bash
# The program in a terminal (tmux, 80 x 24), without a display, driven with
# keys as a person would; every screen is captured as text into OUT.
#
#   terminal_wizard_test.sh upgrade|cancel|no-privilege PROGRAM SIMULATOR OUT
#
# upgrade:      Continue, an invalid address, 127.0.0.2, Upgrade, the transfer
#               and the wait after it, OK on the success dialog; exit code 0.
# cancel:       Continue, 127.0.0.2, Cancel on the confirm dialog, OK on
#               "Upgrade Failed: User Abort"; nothing sent to the device.
# no-privilege: the same as an unprivileged user, who may not bind the TFTP
#               ports: the fatal message says how to grant the right.
set -u
SCENARIO=$1 PROGRAM=$2 SIM=$3 OUT=$4
. "$(dirname "$0")/common.sh"

need tmux
if [ "$SCENARIO" = no-privilege ]; then
  # A namespace of the real root, so that an unprivileged user in it lacks
  # CAP_NET_BIND_SERVICE there.
  need setpriv unshare ip
  if [ -z "${QEL_IN_NAMESPACE:-}" ]; then
    [ "$(id -u)" = 0 ] || skip "needs root to make a namespace an unprivileged user can run in"
    unshare --net true 2>/dev/null || skip "cannot make a network namespace here"
    export QEL_IN_NAMESPACE=1
    exec unshare --net "$0" "$@"
  fi
  ip link set lo up || fail "cannot bring loopback up"
  [ -x "$PROGRAM" ] && setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$PROGRAM" ||
    skip "an unprivileged user cannot run $PROGRAM (its folders are closed to others)"
else
  enter_namespace "$@"
fi

OUT=$OUT/terminal-$SCENARIO
rm -rf "$OUT"
mkdir -p "$OUT"
TMUX_CMD=(tmux -L "qel-test-$$" -f /dev/null)
ON_FAIL='echo "--- screen:"; "${TMUX_CMD[@]}" capture-pane -t wizard -p; echo "--- device:"; tail -5 "$OUT/device.log"'
trap 'stop_device; "${TMUX_CMD[@]}" kill-server 2>/dev/null' EXIT

if [ "$SCENARIO" = upgrade ]; then start_device "$OUT" "${SLOW_REQUEST[@]}"; else start_device "$OUT"; fi

RUN=$PROGRAM
[ "$SCENARIO" = no-privilege ] &&
  RUN="setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all $PROGRAM"
# The pane keeps the program's last words and its exit code.
"${TMUX_CMD[@]}" new-session -d -s wizard -x 80 -y 24 \
  "env -u DISPLAY -u WAYLAND_DISPLAY TERM=xterm HOME=/tmp $RUN 2>'$OUT/stderr.txt'; echo \"EXIT=\$?\"; sleep 600" ||
  fail "tmux did not start"

screen() { "${TMUX_CMD[@]}" capture-pane -t wizard -p; }
# The screen's words alone: no box drawing, one blank between words, so
# that a text wrapped inside a box reads as one line.
words() { screen | sed 's/[│┌┐└┘─┤├]/ /g' | tr -s ' \n' '  '; }

wait_screen() {
  wait_until 40 "screen | grep -qF -- \"$1\"" || fail "no screen with: $1"
  sleep 0.3  # let the rest of the screen be drawn
}

save() { screen >"$OUT/$1.txt"; }

keys() { "${TMUX_CMD[@]}" send-keys -t wizard "$@"; }

wait_screen "WARNING: Forcing a firmware upgrade"
save 01-warning
grep -q "qel-upgrade: no display (DISPLAY and WAYLAND_DISPLAY unset), using the terminal" \
  "$OUT/stderr.txt" || fail "no reason given for the terminal: $(cat "$OUT/stderr.txt")"
screen | grep -q '<Continue>.*<Cancel>' || fail "no buttons on the warning"
keys Tab Enter  # from Cancel, where the focus starts, to Continue

wait_screen "Please enter IP address of your QEL"
save 02-address
screen | grep -q "Version 5.2.5" || fail "no version line"
screen | grep -q "Your IP Address 127.0.0.1" || fail "no local address choice"
if [ "$SCENARIO" = upgrade ]; then
  keys 1.2.3 Enter
  wait_screen "Invalid IP Address"
  save 03-invalid-address
  keys Enter
  wait_until 10 "! screen | grep -q 'Invalid IP Address'" || fail "the box did not close"
  keys BSpace BSpace BSpace BSpace BSpace
fi
keys 127.0.0.2
sleep 0.3
save 04-address-typed
screen | grep -q "127.0.0.2" || fail "the typed address does not show"
keys Enter

wait_screen "Confirm Upgrade to Ver. 5.2.5"
save 05-confirm
for text in "Serial Number" "FM500012345" "MAC Address" "00:0E:08:12:34:56" "Software Version" \
  "5.1.2(GR)" "Hardware Version" "1.0.3" "Product Name" "QEL-742" "<Upgrade>" "<Cancel>"; do
  screen | grep -qF -- "$text" || fail "confirm dialog lacks $text"
done
# Each label stands on its field's row.
screen | grep -q "Serial Number *FM500012345" || fail "label and field apart"

if [ "$SCENARIO" = cancel ]; then
  keys Tab Enter  # from Upgrade to Cancel
  wait_screen "Upgrade Failed: User Abort"
  save 06-user-abort
  keys Enter
  wait_screen "EXIT=0"
  save 07-after
  grep -q 'UPGRADE request' "$OUT/device.log" && fail "the device was asked to upgrade after Cancel"
  echo "PASS: terminal cancel"
  exit 0
fi

keys Enter  # Upgrade: the default button, with the focus
if [ "$SCENARIO" = no-privilege ]; then
  wait_screen "Can't bind TFTP listener socket"
  save 06-no-privilege
  words | grep -qF "Upgrade Failed: Can't bind TFTP listener socket (ports 69-168 need root or: sudo setcap cap_net_bind_service=+ep /usr/bin/qel-upgrade)" ||
    fail "the message lacks its hint: $(words)"
  keys Enter
  wait_screen "EXIT=0"
  echo "PASS: terminal no-privilege"
  exit 0
fi

START=$SECONDS
wait_screen "Firmware upload will begin when the QEL is idle"
save 06-waiting-for-request
wait_screen "Please do not unplug the power"
save 07-upload
wait_until 20 "grep -q 'REBOOT start' '$OUT/device.log'" || fail "the transfer did not finish"
sleep 1
save 08-waiting-for-reboot
wait_screen "Upgrade Successful!"
save 09-success
echo "success dialog after $((SECONDS - START)) s"
screen | grep -qF "QEL@127.0.0.2 Upgrade Successful!" || fail "success caption"
screen | grep -qF "5.2.5" || fail "no new version on the success dialog"
keys Enter
wait_screen "EXIT=0"
save 10-after
stop_device
grep -q '"reboots":1' "$OUT/device.json" || fail "the device did not reflash: $(cat "$OUT/device.json")"
grep -q '"complete":true' "$OUT/device.json" || fail "incomplete transfer"
grep -q '"wrong_name_answered":false' "$OUT/device.json" || fail "the wrong file name was answered"
echo "PASS: terminal upgrade"
