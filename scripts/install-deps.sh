#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need.
# Safe to run again; does nothing when everything is there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libssl-dev          # tests: GoogleTest, an independent MD5
  curl atftp tftpd-hpa tftp-hpa    # real TFTP and HTTP peers for the tests
  iproute2 util-linux              # private network namespaces (unshare, ip)
  clang libclang-rt-14-dev         # fuzzing: clang with libFuzzer (scripts/fuzz.sh)
)

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
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# The packaged TFTP server must not hold port 69: the tests start their own.
if command -v systemctl >/dev/null && systemctl is-active --quiet tftpd-hpa 2>/dev/null; then
  $sudo systemctl stop tftpd-hpa || true
fi
if [ -x /etc/init.d/tftpd-hpa ]; then $sudo /etc/init.d/tftpd-hpa stop >/dev/null 2>&1 || true; fi
