#!/usr/bin/env bash
# The Debian packages as an installer and a user meet them: what each holds
# and depends on, lintian's and hardening-check's verdicts, then both
# installed into a private copy of /usr, /etc, /var and /run (a mount namespace
# with overlays, so this machine's own system is never touched) and run by
# an unprivileged user in a private network namespace: without and with the
# qel-upgrade group, the terminal wizard's first screen, a scan, the first
# desktop dialog on an Xvfb display that wants its cookie, and a Qt plugin
# slipped in through QT_PLUGIN_PATH, which must run without the capability.
#
#   package_test.sh DEBS BUILD OUT
#
# DEBS holds what scripts/build-deb.sh made; BUILD is a build tree of this
# source (the CI one) for the device simulator and the test plugin. With
# QEL_DEBS_AGAIN naming a second build's folder, the packages must match it.
set -u
DEBS=$(realpath "$1") BUILD=$(realpath "$2") OUT=$(realpath -m "$3")
. "$(dirname "$0")/common.sh"

need dpkg-deb lintian hardening-check readelf man
HEADLESS=$(ls "$DEBS"/qel-upgrade_*.deb 2>/dev/null | head -1)
DESKTOP=$(ls "$DEBS"/qel-upgrade-desktop_*.deb 2>/dev/null | head -1)
[ -n "$HEADLESS" ] && [ -n "$DESKTOP" ] || fail "no packages in $DEBS (scripts/build-deb.sh makes them)"
VERSION=$(dpkg-deb -f "$HEADLESS" Version)
rm -rf "$OUT"
mkdir -p "$OUT"
for deb in "$DEBS"/*.deb "$DEBS"/*.ddeb; do
  [ -e "$deb" ] && echo "package: $(basename "$deb"): $(stat -c %s "$deb") bytes, installed size $(dpkg-deb -f "$deb" Installed-Size) KiB"
done
for name in qel-upgrade-dbgsym qel-upgrade-desktop-dbgsym; do
  ls "$DEBS/${name}_$VERSION"_*.*deb >/dev/null 2>&1 || fail "no $name package"
done

# Reproducible: a second build of the same source in another folder, when
# given (QEL_DEBS_AGAIN), made the same bytes.
if [ -n "${QEL_DEBS_AGAIN:-}" ]; then
  for deb in "$DEBS"/*.deb; do
    cmp -s "$deb" "$QEL_DEBS_AGAIN/$(basename "$deb")" ||
      fail "$(basename "$deb") differs from the one built in $QEL_DEBS_AGAIN"
  done
  echo "reproducible: the packages built in $DEBS and $QEL_DEBS_AGAIN are the same bytes"
fi

# --- What each package holds.
contents() { dpkg-deb -c "$1" | awk '{ print $NF }' | sed 's|^\./|/|; s|/$||'; }
contents "$HEADLESS" >"$OUT/headless.txt"
contents "$DESKTOP" >"$OUT/desktop.txt"
has() { grep -qx "$2" "$OUT/$1.txt" || fail "$1 package lacks $2"; }
lacks() { grep -qE "$2" "$OUT/$1.txt" && fail "$1 package holds $(grep -E "$2" "$OUT/$1.txt" | head -1)"; }
for file in /usr/bin/qel-upgrade /usr/libexec/qel-upgrade/qel-upgrade-bind \
  /usr/libexec/qel-upgrade/qel-upgrade-terminal /usr/share/man/man1/qel-upgrade.1.gz /usr/share/doc/qel-upgrade/copyright \
  /usr/share/doc/qel-upgrade/changelog.gz /usr/share/doc/qel-upgrade/README.Debian; do
  has headless "$file"
done
lacks headless 'qel-upgrade-desktop$|/applications/|/icons/'
for file in /usr/libexec/qel-upgrade/qel-upgrade-desktop /usr/share/applications/qel-upgrade.desktop \
  /usr/share/doc/qel-upgrade-desktop/copyright; do
  has desktop "$file"
done
lacks desktop '/usr/bin/|qel-upgrade-bind$|qel-upgrade-terminal$|/man1/'
for size in 16 32 48 64 128; do has desktop "/usr/share/icons/hicolor/${size}x$size/apps/qel-upgrade.png"; done

UNPACKED=$OUT/unpacked
dpkg-deb -x "$HEADLESS" "$UNPACKED" && dpkg-deb -x "$DESKTOP" "$UNPACKED" || fail "cannot unpack"
dims=$(od -An -tu1 -j16 -N8 "$UNPACKED/usr/share/icons/hicolor/48x48/apps/qel-upgrade.png" |
  awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4 "x" $5 * 16777216 + $6 * 65536 + $7 * 256 + $8 }')
[ "$dims" = 48x48 ] || fail "the 48x48 icon is $dims"
grep -qx 'Exec=/usr/libexec/qel-upgrade/qel-upgrade-desktop' "$UNPACKED/usr/share/applications/qel-upgrade.desktop" ||
  fail "the menu entry does not start the desktop program"
WARNINGS=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$UNPACKED/usr/share/man/man1/qel-upgrade.1.gz" 2>&1 >/dev/null)
[ -z "$WARNINGS" ] || fail "the manual page has faults: $WARNINGS"
for section in NETWORK FILES 'EXIT STATUS' PRIVILEGE; do
  zgrep -q "^\.SH $section\$" "$UNPACKED/usr/share/man/man1/qel-upgrade.1.gz" || fail "the manual page has no $section section"
done
zcat "$UNPACKED/usr/share/doc/qel-upgrade/changelog.gz" | head -1 | grep -q "^qel-upgrade ($VERSION) " ||
  fail "the changelog's newest entry is not the package's version"

# --- Dependencies: none of the desktop's in the headless package, neither
# declared nor linked.
HEADLESS_DEPENDS=$(dpkg-deb -f "$HEADLESS" Depends)
DESKTOP_DEPENDS=$(dpkg-deb -f "$DESKTOP" Depends)
echo "qel-upgrade Depends: $HEADLESS_DEPENDS"
echo "qel-upgrade-desktop Depends: $DESKTOP_DEPENDS"
names() { echo "$1" | tr ',|' '\n\n' | sed 's/(.*//; s/ //g'; }
names "$HEADLESS_DEPENDS" | grep -E '^(libqt6|qt6-|libx|libxcb|libgl|libegl)' &&
  fail "the headless package depends on desktop libraries"
for package in libcap2-bin adduser libnewt0.52; do
  names "$HEADLESS_DEPENDS" | grep -qx "$package" || fail "qel-upgrade's Depends lacks $package"
done
names "$HEADLESS_DEPENDS" | grep -qE '^(debconf|cdebconf)$' || fail "qel-upgrade's Depends lacks debconf"
echo "$DESKTOP_DEPENDS" | tr ',' '\n' | grep -qx " *qel-upgrade (= $VERSION)" ||
  fail "qel-upgrade-desktop does not depend on qel-upgrade $VERSION"
for package in libqt6widgets6 qt6-qpa-plugins; do
  names "$DESKTOP_DEPENDS" | grep -qx "$package" || fail "qel-upgrade-desktop's Depends lacks $package"
done
for program in usr/bin/qel-upgrade usr/libexec/qel-upgrade/qel-upgrade-bind usr/libexec/qel-upgrade/qel-upgrade-terminal; do
  ldd "$UNPACKED/$program" >"$OUT/ldd.txt" 2>&1 || fail "ldd $program: $(cat "$OUT/ldd.txt")"
  grep -iE 'libqt|libx11|libxcb|libgl' "$OUT/ldd.txt" && fail "$program links desktop libraries"
  readelf -S "$UNPACKED/$program" | grep -qE '\.(symtab|debug_info|comment)\b' && fail "$program is not stripped"
done
# The command line does not even load the terminal's library; the helper
# uses the C library alone.
readelf -d "$UNPACKED/usr/bin/qel-upgrade" | grep NEEDED | grep -E 'newt|slang' &&
  fail "qel-upgrade loads the terminal's library"
readelf -d "$UNPACKED/usr/libexec/qel-upgrade/qel-upgrade-bind" | grep NEEDED | grep -v 'libc\.so' &&
  fail "the port helper needs more than the C library"

# --- Debian's checks.
# Silent, pedantic included: any tag fails.
lintian --pedantic -I --fail-on error,warning,info,pedantic "$HEADLESS" "$DESKTOP" >"$OUT/lintian.txt" 2>&1
LINTIAN=$?
grep -v '^running with root privileges' "$OUT/lintian.txt" | sed 's/^/lintian: /'
[ $LINTIAN -eq 0 ] || fail "lintian has something to say"
grep -qv '^running with root privileges' "$OUT/lintian.txt" && fail "lintian is not silent"
for program in usr/bin/qel-upgrade usr/libexec/qel-upgrade/qel-upgrade-bind \
  usr/libexec/qel-upgrade/qel-upgrade-terminal usr/libexec/qel-upgrade/qel-upgrade-desktop; do
  # Control-flow protection cannot show: Debian 12's C start files carry no
  # IBT/SHSTK property, so no program linked on it gets the note.
  hardening-check --nocfprotection "$UNPACKED/$program" >"$OUT/hardening.txt" 2>&1 ||
    fail "hardening-check: $(cat "$OUT/hardening.txt")"
  grep -E 'Position|Stack|Fortify|Read-only|Immediate' "$OUT/hardening.txt" | sed "s|^|hardening: $program:|"
done

# --- Installed and run by an unprivileged user.
[ "$(id -u)" = 0 ] || skip "the installed packages need root (a private /usr and a network namespace)"
need unshare setpriv tmux Xvfb xauth xdotool
unshare --mount --net true 2>/dev/null || skip "cannot make mount and network namespaces here"
[ -x "$BUILD/tools/device-sim/qel-device-sim" ] || fail "no device simulator in $BUILD"
PLUGINS=$BUILD/tests/desktop/plugins
[ -f "$PLUGINS/generic/libqel-probe-plugin.so" ] || fail "no test plugin in $PLUGINS"
export PACKAGE_TEST_OUT=$OUT VERSION HEADLESS DESKTOP SIM=$BUILD/tools/device-sim/qel-device-sim PLUGINS
exec unshare --mount --net "$(dirname "$0")/package_run.sh"
