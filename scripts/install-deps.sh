#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs, by group. Safe to run
# again; does nothing when everything is there.
#   scripts/install-deps.sh [build] [desktop] [win32]    (no group: all of them)
#   build    the Linux build, its tests and the demo
#   desktop  the Qt and terminal front-ends, their tests, the Debian packages
#   win32    the MinGW-w64 cross build, the MSI package and their tests under Wine
set -euo pipefail

group_build=(
  build-essential cmake pkg-config
  ccache                           # the ci and two-stage builds share what they compile alike
  libgtest-dev libssl-dev          # tests: GoogleTest, an independent MD5
  curl atftp tftpd-hpa tftp-hpa    # real TFTP and HTTP peers for the tests
  iproute2 util-linux              # private network namespaces (unshare, ip)
  time                             # benchmark: peak memory of the command line (/usr/bin/time -v)
  libcli11-dev nlohmann-json3-dev  # command line and JSON, header-only (simulator, relay, admin subcommands)
  clang libclang-rt-14-dev         # fuzzing: clang with libFuzzer (scripts/fuzz.sh)
  clang-format clang-tidy          # format and lint (scripts/lint.sh)
  ansible-core python3-voluptuous  # the Ansible collection: its sanity checks and a real playbook run
  ansible-lint                     # the collection: its lint (production profile)
  python3-pytest python3-pytest-xdist python3-pytest-forked  # the collection: ansible-test units --local
)
group_desktop=(
  qt6-base-dev                     # the desktop front-end (brings qt6-qpa-plugins)
  libnewt-dev                      # the terminal front-end
  fonts-dejavu-core                # a font for Qt under Xvfb
  xvfb xdotool imagemagick         # desktop tests: display, a person's clicks, screenshots
  xauth x11-utils                  # desktop tests: the X server's cookie, window hints (xprop)
  tmux                             # terminal tests
  libcap2-bin                      # setcap and capsh
  dpkg-dev debhelper fakeroot      # the packages, built by dpkg-buildpackage (scripts/build-deb.sh)
  po-debconf                       # the packages' debconf question
  devscripts                       # hardening-check, for the package test
  lintian man-db                   # package test: Debian's checks, the manual page
)
group_win32=(
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64   # cross compiler, windres
  wine wine64 fonts-wine           # runs the .exe (`wine` is the command); MS Sans Serif
  xvfb xdotool imagemagick         # headless display, input, screenshots
  wixl msitools faketime           # the MSI package (wixl, msibuild), built the same twice
  osslsigncode openssl             # Authenticode signatures on the programs and the package
)

groups=("$@")
[ ${#groups[@]} -eq 0 ] && groups=(build desktop win32)
packages=()
for g in "${groups[@]}"; do
  case $g in
    build) packages+=("${group_build[@]}") ;;
    desktop) packages+=("${group_desktop[@]}") ;;
    win32) packages+=("${group_win32[@]}") ;;
    *) echo "install-deps: unknown group '$g' (build, desktop, win32)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# Each package once: groups overlap.
mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# The packaged TFTP server must not hold port 69: the tests start their own.
if command -v systemctl >/dev/null && systemctl is-active --quiet tftpd-hpa 2>/dev/null; then
  $sudo systemctl stop tftpd-hpa || true
fi
if [ -x /etc/init.d/tftpd-hpa ]; then $sudo /etc/init.d/tftpd-hpa stop >/dev/null 2>&1 || true; fi
