#!/usr/bin/env bash
# The Debian package as an installer and a user meet it: what it holds, its
# control data, lintian's verdict, and the packed program run by a normal
# user, with and without the capability the package's postinst gives it.
#
#   package_test.sh BUILD_DIR OUT
#
# Packs from the build tree as `cmake --build BUILD_DIR --target deb` does
# (the program and the package's files must be built), into OUT/package.
set -u
BUILD=$1 OUT=$2
. "$(dirname "$0")/common.sh"

need cpack dpkg-deb readelf man lintian
OUT=$(realpath -m "$OUT")/package
rm -rf "$OUT"
mkdir -p "$OUT"
ON_FAIL='tail -20 "$OUT/cpack.log" 2>/dev/null'

cpack --config "$BUILD/CPackConfig.cmake" -B "$OUT" >"$OUT/cpack.log" 2>&1 || fail "cpack failed"
DEB=$(ls "$OUT"/qel-upgrade_*_*.deb 2>/dev/null | head -1)
[ -n "$DEB" ] || fail "no package in $OUT"
echo "package: $DEB: $(stat -c %s "$DEB") bytes, installed size $(dpkg-deb -f "$DEB" Installed-Size) KiB"

# What it installs.
dpkg-deb -c "$DEB" | awk '{ print $NF }' | sed 's|^\./|/|' >"$OUT/contents.txt"
for file in /usr/bin/qel-upgrade /usr/share/applications/qel-upgrade.desktop \
  /usr/share/man/man1/qel-upgrade.1.gz /usr/share/doc/qel-upgrade/copyright \
  /usr/share/doc/qel-upgrade/changelog.gz; do
  grep -qx "$file" "$OUT/contents.txt" || fail "the package lacks $file"
done
ROOT=$OUT/root
dpkg-deb -x "$DEB" "$ROOT" || fail "cannot unpack"
for size in 16 32 48 64 128; do
  icon=$ROOT/usr/share/icons/hicolor/${size}x${size}/apps/qel-upgrade.png
  [ -f "$icon" ] || fail "no ${size}x$size icon"
  # Width and height from the PNG header.
  dims=$(od -An -tu1 -j16 -N8 "$icon" | awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4 "x" $5 * 16777216 + $6 * 65536 + $7 * 256 + $8 }')
  [ "$dims" = "${size}x$size" ] || fail "the ${size}x$size icon is $dims"
done
grep -qx 'Exec=qel-upgrade' "$ROOT/usr/share/applications/qel-upgrade.desktop" &&
  grep -qx 'Icon=qel-upgrade' "$ROOT/usr/share/applications/qel-upgrade.desktop" ||
  fail "the menu entry does not start the program with its icon"
readelf -S "$ROOT/usr/bin/qel-upgrade" | grep -qE '\.(symtab|debug_info)' && fail "the program is not stripped"
WARNINGS=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$ROOT/usr/share/man/man1/qel-upgrade.1.gz" 2>&1 >/dev/null)
[ -z "$WARNINGS" ] || fail "the manual page has faults: $WARNINGS"
zcat "$ROOT/usr/share/doc/qel-upgrade/changelog.gz" | head -1 | grep -q "^qel-upgrade ($(dpkg-deb -f "$DEB" Version)) " ||
  fail "the changelog's newest entry is not the package's version"

# Each dependency once; the ones no library link shows are there.
DEPENDS=$(dpkg-deb -f "$DEB" Depends)
echo "Depends: $DEPENDS"
TWICE=$(echo "$DEPENDS" | tr ',' '\n' | sed 's/(.*//; s/ //g' | sort | uniq -d)
[ -z "$TWICE" ] || fail "packages named twice in Depends: $TWICE"
for package in libqt6widgets6 qt6-qpa-plugins libnewt0.52 libcap2-bin; do
  echo "$DEPENDS" | tr ',' '\n' | sed 's/(.*//; s/ //g' | grep -qx "$package" || fail "Depends lacks $package"
done
dpkg-deb -e "$DEB" "$OUT/control"
grep -q 'setcap cap_net_bind_service=+ep /usr/bin/qel-upgrade' "$OUT/control/postinst" ||
  fail "postinst does not give the program the port capability"

# lintian: no errors; its warnings and notes are shown, explained in the log.
lintian --info --display-info "$DEB" >"$OUT/lintian.txt" 2>&1
grep -E '^[EWIP]:' "$OUT/lintian.txt" | sed 's/^/lintian: /'
grep -q '^E:' "$OUT/lintian.txt" && fail "lintian reports errors (see $OUT/lintian.txt)"

# A normal user runs the packed program without a display or a terminal:
# with the capability that postinst sets, the TFTP ports are free to it;
# without, it says at once how to give it to this very file. In a private
# network namespace, so that nothing binds a port of this machine.
if [ "$(id -u)" = 0 ] && command -v setcap >/dev/null && command -v setpriv >/dev/null &&
  unshare --net true 2>/dev/null &&
  setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$ROOT/usr/bin/qel-upgrade"; then
  as_user() {
    unshare --net env -u DISPLAY -u WAYLAND_DISPLAY \
      setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
      "$ROOT/usr/bin/qel-upgrade" </dev/null >"$OUT/$1.out" 2>&1
  }
  # With neither display nor terminal the wizard cannot run: exit code 1.
  as_user without-capability; code=$?
  [ "$code" = 1 ] || fail "exit code $code without the capability"
  grep -qx "  sudo setcap cap_net_bind_service=+ep $ROOT/usr/bin/qel-upgrade" "$OUT/without-capability.out" ||
    fail "no command for this file without the capability: $(cat "$OUT/without-capability.out")"
  setcap cap_net_bind_service=+ep "$ROOT/usr/bin/qel-upgrade" || fail "setcap failed"
  as_user with-capability; code=$?
  [ "$code" = 1 ] || fail "exit code $code with the capability"
  grep -q "Can't bind" "$OUT/with-capability.out" &&
    fail "the capability did not let a normal user bind: $(cat "$OUT/with-capability.out")"
  grep -q "needs a display or a terminal" "$OUT/with-capability.out" ||
    fail "unexpected start: $(cat "$OUT/with-capability.out")"
else
  echo "not run: the packed program as a normal user (needs root, setcap, setpriv and a network namespace)"
fi
echo "PASS: package"
