#!/usr/bin/env bash
# The second half of package_test.sh, run by it in private mount and network
# namespaces (never on its own): installs the packages into overlays of /usr,
# /etc and /var (and /tmp and /run of their own), then runs the installed
# programs as the user nobody.
set -u
. "$(dirname "$0")/common.sh" || exit 1
OUT=$PACKAGE_TEST_OUT/installed
mkdir -p "$OUT"
ON_FAIL='for f in "$OUT"/*.out "$OUT"/dpkg.log; do [ -s "$f" ] && { echo "--- $f:"; tail -15 "$f"; }; done'

# The namespace's own copy of the system; nothing reaches the real one (nor
# the lock folder the package makes in /run, whose group exists only here).
mount --make-rprivate / || fail "cannot make the mounts private"
for dir in usr etc var; do
  mkdir -p "$OUT/overlay/$dir" "$OUT/overlay/$dir.work"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$OUT/overlay/$dir,workdir=$OUT/overlay/$dir.work" "/$dir" ||
    skip "cannot mount an overlay on /$dir"
done
# A /tmp of its own: the X server's socket and the program's files. What
# this test uses from the old /tmp (a checkout or build there) stays in
# sight: each such top-level folder is bound back into the new one.
keep=()
for path in "$PACKAGE_TEST_OUT" "$HEADLESS" "$DESKTOP" "$SIM" "$PLUGINS" "$(realpath "$(dirname "$0")")"; do
  case $path in /tmp/?*) top=${path#/tmp/}; keep+=("${top%%/*}") ;; esac
done
if [ ${#keep[@]} -gt 0 ]; then
  mkdir -p /var/tmp/qel-package-old-tmp && mount --bind /tmp /var/tmp/qel-package-old-tmp ||
    fail "cannot keep the old /tmp in sight"
fi
mount -t tmpfs -o mode=1777 tmpfs /tmp || fail "cannot mount /tmp"
# A /run of its own: the package makes its lock folder there, for a group
# that exists only in the overlay's /etc.
mount -t tmpfs -o mode=755 tmpfs /run || fail "cannot mount /run"
for top in $(printf '%s\n' "${keep[@]}" | sort -u); do
  mkdir -p "/tmp/$top" && mount --bind "/var/tmp/qel-package-old-tmp/$top" "/tmp/$top" ||
    fail "cannot keep /tmp/$top"
done
ip link set lo up || fail "cannot bring loopback up"
# The unprivileged user loads the test plugin: a copy, since the build folder
# may lie under a home closed to others.
cp -r "$PLUGINS" /tmp/plugins && chmod -R go+rX /tmp/plugins || fail "cannot copy $PLUGINS"
PLUGINS=/tmp/plugins

HELPER=/usr/libexec/qel-upgrade/qel-upgrade-bind
install_packages() {
  DEBIAN_FRONTEND=noninteractive dpkg -i "$HEADLESS" "$DESKTOP" >"$OUT/dpkg.log" 2>&1 ||
    fail "dpkg -i failed"
}

# An administrator who let the group's members upgrade devices.
echo "qel-upgrade qel-upgrade/allow-users boolean true" | debconf-set-selections || fail "debconf-set-selections"
install_packages
GID=$(getent group qel-upgrade | cut -d: -f3)
[ -n "$GID" ] || fail "no group qel-upgrade after the install"
[ "$(stat -c '%U:%G %a' "$HELPER")" = "root:qel-upgrade 754" ] ||
  fail "the helper is $(stat -c '%U:%G %a' "$HELPER"), not root:qel-upgrade 754"
getcap "$HELPER" | grep -q 'cap_net_bind_service=ep' || fail "the helper lacks the capability: $(getcap "$HELPER")"
for program in /usr/bin/qel-upgrade /usr/libexec/qel-upgrade/qel-upgrade-terminal /usr/libexec/qel-upgrade/qel-upgrade-desktop; do
  [ -z "$(getcap "$program")" ] || fail "$program has a capability: $(getcap "$program")"
done
[ "$(stat -c '%U:%G %a' /run/qel-upgrade)" = "root:qel-upgrade 2770" ] ||
  fail "the lock folder is $(stat -c '%U:%G %a' /run/qel-upgrade 2>&1), not root:qel-upgrade 2770"
grep -qx 'd /run/qel-upgrade 2770 root qel-upgrade -' /usr/lib/tmpfiles.d/qel-upgrade.conf ||
  fail "no tmpfiles.d entry for the lock folder"
echo "installed: helper $(stat -c '%U:%G %a' "$HELPER"), $(getcap "$HELPER"), locks in /run/qel-upgrade"

OUTSIDER=(setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all)
MEMBER=(setpriv --reuid=65534 --regid=65534 --groups="$GID" --inh-caps=-all)
headless_run() {
  local who=$1 name=$2
  shift 2
  local -a as=("${MEMBER[@]}")
  [ "$who" = outsider ] && as=("${OUTSIDER[@]}")
  env -u DISPLAY -u WAYLAND_DISPLAY "${as[@]}" "$@" </dev/null >"$OUT/$name.out" 2>&1
}

# Not in the group: the helper refuses to run, and the program says how to join.
# With neither display nor terminal the wizard cannot run: exit code 1.
headless_run outsider outsider /usr/bin/qel-upgrade; code=$?
[ "$code" = 1 ] || fail "exit code $code for a user outside the group"
grep -q "Can't bind TFTP listener socket" "$OUT/outsider.out" || fail "no refusal outside the group"
grep -qx "  sudo adduser nobody qel-upgrade" "$OUT/outsider.out" ||
  fail "the message does not say how to join the group: $(cat "$OUT/outsider.out")"

# In the group: the helper binds the TFTP port for the program.
headless_run member member /usr/bin/qel-upgrade; code=$?
[ "$code" = 1 ] || fail "exit code $code for a member"
grep -q "Can't bind" "$OUT/member.out" && fail "a member may not bind: $(cat "$OUT/member.out")"
grep -q "needs a display or a terminal" "$OUT/member.out" || fail "unexpected start: $(cat "$OUT/member.out")"
headless_run member version /usr/bin/qel-upgrade --version && grep -qx "qel-upgrade ${VERSION%%-*}" "$OUT/version.out" ||
  fail "--version: $(cat "$OUT/version.out")"

# The terminal wizard's first screen.
TMUX_CMD=(tmux -L "qel-package-$$" -f /dev/null)
trap '"${TMUX_CMD[@]}" kill-server 2>/dev/null; stop_device; [ -n "${XVFB_PID:-}" ] && kill $XVFB_PID 2>/dev/null' EXIT
"${TMUX_CMD[@]}" new-session -d -s wizard -x 80 -y 24 \
  "env -u DISPLAY -u WAYLAND_DISPLAY TERM=xterm setpriv --reuid=65534 --regid=65534 --groups=$GID --inh-caps=-all /usr/bin/qel-upgrade 2>'$OUT/terminal.out'" ||
  fail "tmux did not start"
wait_until 30 "'${TMUX_CMD[0]}' -L 'qel-package-$$' capture-pane -t wizard -p | grep -q 'WARNING: Forcing a firmware upgrade'" ||
  fail "no first screen in the terminal: $("${TMUX_CMD[@]}" capture-pane -t wizard -p)"
"${TMUX_CMD[@]}" capture-pane -t wizard -p >"$OUT/terminal-screen.txt"
"${TMUX_CMD[@]}" kill-server 2>/dev/null
echo "terminal: the first screen shows the warning"

# A scan finds the simulated device.
start_device "$OUT"
headless_run member scan /usr/bin/qel-upgrade scan 127.0.0.0/29 --json || fail "scan exit code $?"
grep -q '"address": *"127.0.0.2"' "$OUT/scan.out" || fail "the scan did not find the device: $(cat "$OUT/scan.out")"
stop_device
echo "scan: $(grep -c '"address"' "$OUT/scan.out") device(s) found"

# The desktop: the first dialog on a display that wants its cookie, with a
# plugin slipped in through the environment. The plugin runs (it reports),
# but never with the capability, and cannot bind a privileged port.
NUMBER=7
export XAUTHORITY=/tmp/Xauthority
: >"$XAUTHORITY"
xauth add ":$NUMBER" . "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')" || fail "xauth"
chmod 644 "$XAUTHORITY"
# -noreset: an X server resets when its last client leaves, and the reset
# drops a client that connected meanwhile (the readiness check's leaving
# and the program's probe arriving can meet there on a loaded machine).
Xvfb ":$NUMBER" -auth "$XAUTHORITY" -noreset -screen 0 1024x768x24 -nolisten tcp >"$OUT/xvfb.out" 2>&1 &
XVFB_PID=$!
export DISPLAY=:$NUMBER
wait_until 10 "xdotool getmouselocation >/dev/null 2>&1" || fail "Xvfb did not start"
mkdir -m 1777 /tmp/probe
QT_PLUGIN_PATH=$PLUGINS QT_QPA_GENERIC_PLUGINS=qelprobe QEL_PROBE_REPORT=/tmp/probe/report \
  "${MEMBER[@]}" /usr/bin/qel-upgrade </dev/null >"$OUT/desktop.out" 2>&1 &
PROGRAM_PID=$!
wait_until 30 "xdotool search --onlyvisible --name 'Firmware Upgrade\$' >/dev/null 2>&1" ||
  fail "no desktop dialog: $(cat "$OUT/desktop.out")"
kill "$PROGRAM_PID" 2>/dev/null
wait "$PROGRAM_PID" 2>/dev/null
echo "desktop: the first dialog opened"
[ -s /tmp/probe/report ] || fail "the test plugin was never loaded"
cp /tmp/probe/report "$OUT/probe-report.txt"
sed 's/^/plugin: /' /tmp/probe/report
grep -v 'capeff=0000000000000000 port81=Permission denied$' /tmp/probe/report &&
  fail "the plugin ran with a privilege"

# The check can see a privileged plugin: a copy of the desktop program given
# the capability by hand loads the same plugin, which then binds port 81.
CONTROL=/usr/local/lib/qel-control/qel-upgrade-desktop
mkdir -p "$(dirname "$CONTROL")" && cp /usr/libexec/qel-upgrade/qel-upgrade-desktop "$CONTROL" &&
  setcap cap_net_bind_service=+ep "$CONTROL" || fail "cannot make the privileged copy"
QT_PLUGIN_PATH=$PLUGINS QT_QPA_GENERIC_PLUGINS=qelprobe QEL_PROBE_REPORT=/tmp/probe/control \
  "${MEMBER[@]}" "$CONTROL" --probe </dev/null >"$OUT/control.out" 2>&1
grep -q 'port81=bound$' /tmp/probe/control 2>/dev/null ||
  fail "a privileged copy's plugin did not bind port 81: $(cat /tmp/probe/control 2>/dev/null)"
echo "control: a copy of the desktop program with the capability: $(cat /tmp/probe/control)"
rm -f "$CONTROL"

# Removed, the packages take the helper and its capability with them.
DEBIAN_FRONTEND=noninteractive dpkg --purge qel-upgrade-desktop qel-upgrade >>"$OUT/dpkg.log" 2>&1 || fail "dpkg --purge failed"
[ -e "$HELPER" ] && fail "the helper stayed after the purge"

# A statoverride is the administrator's decision: the package leaves the
# helper as it says, without the capability.
dpkg-statoverride --add root qel-upgrade 0750 "$HELPER" || fail "dpkg-statoverride"
install_packages
[ "$(stat -c '%U:%G %a' "$HELPER")" = "root:qel-upgrade 750" ] || fail "the override was not kept: $(stat -c '%U:%G %a' "$HELPER")"
[ -z "$(getcap "$HELPER")" ] || fail "the package set a capability despite the override"
echo "statoverride: the helper left as listed"

# The administrator gives it capabilities by hand, more than the package
# would; an upgrade replaces the file, which loses them: the package gives
# back exactly those and says so. The newer version is this package with its
# version raised.
CAPS=cap_net_bind_service,cap_net_raw=ep
NOTE=/var/lib/qel-upgrade/helper-had-capability
helper_caps() { getcap "$HELPER" | sed -n "s|^$HELPER \(= \)\{0,1\}||p"; }
setcap "$CAPS" "$HELPER" || fail "setcap by hand"
[ "$(helper_caps)" = "$CAPS" ] || fail "getcap shows $(getcap "$HELPER") after setcap $CAPS"
NEWER=$OUT/newer
dpkg-deb -R "$HEADLESS" "$NEWER" || fail "cannot unpack $HEADLESS"
sed -i "s/^Version: .*/Version: $VERSION+upgrade1/" "$NEWER/DEBIAN/control"
dpkg-deb --root-owner-group -b "$NEWER" "$OUT/newer.deb" >/dev/null || fail "cannot build the newer package"
DEBIAN_FRONTEND=noninteractive dpkg --purge qel-upgrade-desktop >>"$OUT/dpkg.log" 2>&1 || fail "dpkg --purge qel-upgrade-desktop failed"
DEBIAN_FRONTEND=noninteractive dpkg -i "$OUT/newer.deb" >"$OUT/upgrade.out" 2>&1 || fail "the upgrade failed: $(cat "$OUT/upgrade.out")"
[ "$(dpkg-query -W -f '${Version}' qel-upgrade)" = "$VERSION+upgrade1" ] || fail "not upgraded"
[ "$(stat -c '%U:%G %a' "$HELPER")" = "root:qel-upgrade 750" ] || fail "the upgrade lost the override: $(stat -c '%U:%G %a' "$HELPER")"
[ "$(helper_caps)" = "$CAPS" ] ||
  fail "the helper has '$(helper_caps)' after the upgrade, not $CAPS: $(cat "$OUT/upgrade.out")"
grep -qF "$CAPS before the upgrade: given back" "$OUT/upgrade.out" ||
  fail "the upgrade did not say it gave $CAPS back: $(cat "$OUT/upgrade.out")"
headless_run member member-after-upgrade /usr/bin/qel-upgrade
grep -q "Can't bind" "$OUT/member-after-upgrade.out" && fail "a member may not bind after the upgrade: $(cat "$OUT/member-after-upgrade.out")"
[ -e "$NOTE" ] && fail "the upgrade left its note behind"
echo "statoverride: the capabilities set by hand ($CAPS) survived an upgrade to $VERSION+upgrade1"

# What the note says reaches setcap only as a capability text. Between the
# preinst (which notes exactly what getcap shows) and the postinst, the note
# becomes an option: the postinst must not hand it to setcap (which takes it
# as "remove"), nor claim anything given back, but say to set them again.
DEBIAN_FRONTEND=noninteractive dpkg --unpack "$OUT/newer.deb" >"$OUT/unpack.out" 2>&1 ||
  fail "dpkg --unpack failed: $(cat "$OUT/unpack.out")"
[ "$(cat "$NOTE" 2>/dev/null)" = "$CAPS" ] || fail "the preinst noted '$(cat "$NOTE" 2>/dev/null)', not $CAPS"
printf '%s\n' -r >"$NOTE"
DEBIAN_FRONTEND=noninteractive dpkg --configure qel-upgrade >"$OUT/configure.out" 2>&1 ||
  fail "dpkg --configure failed: $(cat "$OUT/configure.out")"
grep -q "given back" "$OUT/configure.out" && fail "a note '-r' was taken as capabilities: $(cat "$OUT/configure.out")"
grep -q "is not a capability text" "$OUT/configure.out" && grep -qF "sudo setcap cap_net_bind_service=ep $HELPER" "$OUT/configure.out" ||
  fail "the upgrade did not say to set the capabilities again: $(cat "$OUT/configure.out")"
[ -z "$(getcap "$HELPER")" ] || fail "the helper has $(getcap "$HELPER")"
[ -e "$NOTE" ] && fail "the upgrade left its note behind"
echo "statoverride: a note that is no capability text is refused, and the upgrade says so"

# A file system without extended attributes: setcap fails, the install
# says so and still succeeds.
DEBIAN_FRONTEND=noninteractive dpkg --purge qel-upgrade-desktop qel-upgrade >>"$OUT/dpkg.log" 2>&1 || fail "dpkg --purge failed"
dpkg-statoverride --remove "$HELPER" || fail "dpkg-statoverride --remove"
echo "qel-upgrade qel-upgrade/allow-users boolean true" | debconf-set-selections || fail "debconf-set-selections"
mkdir -p /usr/local/sbin
printf '#!/bin/sh\necho "Failed to set capabilities on file (Operation not supported)" >&2\nexit 1\n' >/usr/local/sbin/setcap
chmod 755 /usr/local/sbin/setcap
PATH=/usr/local/sbin:$PATH install_packages
rm /usr/local/sbin/setcap
grep -q "could not give $HELPER the capability" "$OUT/dpkg.log" || fail "the install did not say that setcap failed"
[ -z "$(getcap "$HELPER")" ] || fail "the helper has a capability after setcap failed"
echo "setcap failing: the install succeeded and said so"
echo "PASS: packages"
