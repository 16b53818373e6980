#!/usr/bin/env bash
# Builds the Debian packages qel-upgrade and qel-upgrade-desktop (and their
# -dbgsym packages) with Debian's tools, from a copy of this source tree, so
# that nothing is written beside the tree or into it.
#   scripts/build-deb.sh [OUT]      (default build/deb; the .deb files land in OUT)
# Needs the desktop group of scripts/install-deps.sh. The build's own folder
# is OUT/src; a second build in another folder gives the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=$(realpath -m "${1:-build/deb}")
VERSION=$(dpkg-parsechangelog -S Version)
SRC=$OUT/src/qel-upgrade-$VERSION
rm -rf "$OUT"
mkdir -p "$SRC"
# The tracked files and the new ones not ignored: what a commit would hold.
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf - | tar -xf - -C "$SRC"
(
  cd "$SRC"
  export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=2}"
  dpkg-buildpackage -us -uc -b >"$OUT/build.log" 2>&1
) || {
  tail -40 "$OUT/build.log" >&2
  echo "build-deb: dpkg-buildpackage failed (log: $OUT/build.log)" >&2
  exit 1
}
mv "$OUT"/src/*.deb "$OUT"/src/*.buildinfo "$OUT"/src/*.changes "$OUT"/
rm -rf "$OUT/src"
ls -l "$OUT"/*.deb
