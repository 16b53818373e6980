#!/usr/bin/env bash
# Installs the Debian 12 packages of the Windows build and its Wine test:
# the MinGW-w64 cross compiler, Wine (with its own fonts, for MS Sans Serif),
# a virtual X server, keyboard automation and screenshots.
# Safe to run again; does nothing when everything is there.
set -euo pipefail

packages=(
  cmake make
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64   # cross compiler, windres
  wine wine64 fonts-wine                                 # runs the .exe; `wine` is the command
  xvfb xdotool imagemagick                               # headless display, input, screenshots
  iproute2 util-linux                                    # private network namespace
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-win32-deps: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
