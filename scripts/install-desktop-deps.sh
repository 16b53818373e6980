#!/usr/bin/env bash
# Installs the Debian 12 packages the Linux program's front-ends, their tests
# and its Debian package need. Safe to run again; does nothing when
# everything is there.
set -euo pipefail

packages=(
  qt6-base-dev                     # the desktop front-end (brings qt6-qpa-plugins)
  libnewt-dev                      # the terminal front-end
  fonts-dejavu-core                # a font for Qt under Xvfb
  xvfb xdotool imagemagick         # desktop tests: display, a person's clicks, screenshots
  tmux                             # terminal tests
  libcap2-bin util-linux iproute2  # setcap and capsh; setpriv and unshare; ip
  dpkg-dev                         # dpkg-shlibdeps, for the package's dependencies
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-desktop-deps: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
