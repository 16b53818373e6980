#!/usr/bin/env bash
# A small LAN in private namespaces, for the end-to-end tests and the demo.
#
#   tests/lan/lan.sh [--devices N] [--] COMMAND [ARG...]
#
# COMMAND runs as the PC of this LAN and the LAN is gone when it ends:
#   lan0     198.51.100.10/24, a veth to the devices' side, holds the default
#            route (via 198.51.100.1, which nobody answers)
#   other0   203.0.113.10/24, a second interface with nothing behind it;
#            made first, so it comes first in interface order
#   lo       127.0.0.1, and /etc/hosts maps this machine's (unchanged) host
#            name to 127.0.1.1, as a stock Debian install does
# The devices' side is a network namespace of its own holding 198.51.100.20,
# .21, ... (N addresses, default 1) on one interface, with no default route:
# it cannot answer 203.0.113.10.
#
# Environment for COMMAND:
#   LAN_PC=198.51.100.10  LAN_PC_OTHER=203.0.113.10
#   LAN_DEVICES="198.51.100.20 198.51.100.21 ..."
#   LAN_DEVICE_NETNS=/proc/PID/ns/net   the devices' side: run a program there
#                                       with nsenter --net="$LAN_DEVICE_NETNS" PROGRAM
#
# Root gets network, mount and PID namespaces; anyone else the same inside a
# user namespace (unshare --map-root-user). Everything started inside ends
# with COMMAND (the PID namespace goes with it), nothing is configured
# outside, and only loopback and the two documentation ranges are used.
# Exit status: COMMAND's; 77 when no namespace can be made here (the reason
# on standard error); 1 when the LAN cannot be built.
set -euo pipefail

readonly PC=198.51.100.10 PC_OTHER=203.0.113.10 NET=198.51.100 FIRST_DEVICE=20

devices=1
inside=0
while [ $# -gt 0 ]; do
  case "$1" in
    --devices) devices=$2; shift 2 ;;
    --inside) inside=1; shift ;;
    --) shift; break ;;
    -*) echo "lan.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ $# -eq 0 ] || ! [[ $devices =~ ^[0-9]+$ ]] || [ "$devices" -lt 1 ] || [ "$devices" -gt 200 ]; then
  echo "usage: $0 [--devices 1..200] [--] COMMAND [ARG...]" >&2
  exit 2
fi

if [ $inside -eq 0 ]; then
  for tool in unshare nsenter ip mount; do
    command -v $tool >/dev/null 2>&1 || { echo "lan.sh: SKIPPED, $tool is not installed (iproute2, util-linux)" >&2; exit 77; }
  done
  namespaces=(unshare --net --mount --propagation private --pid --fork --kill-child --mount-proc)
  [ "$(id -u)" -eq 0 ] || namespaces+=(--user --map-root-user)
  if ! "${namespaces[@]}" true 2>/dev/null; then
    echo "lan.sh: SKIPPED, cannot make private namespaces here (${namespaces[*]});" \
         "run as root or enable unprivileged user namespaces" >&2
    exit 77
  fi
  exec "${namespaces[@]}" "$0" --inside --devices "$devices" -- "$@"
fi

# ---- inside: this shell is the PID namespace's first process ---------------

hosts=$(mktemp /tmp/qel-lan-hosts.XXXXXX)
device_holder=""
cleanup() {
  [ -n "$device_holder" ] && kill "$device_holder" 2>/dev/null
  rm -f "$hosts"
}
trap cleanup EXIT

die() { echo "lan.sh: cannot build the LAN: $*" >&2; exit 1; }

ip link set lo up || die "loopback"
# The host keeps its name: X finds its cookie by it.
printf '127.0.0.1\tlocalhost\n127.0.1.1\t%s\n::1\tlocalhost ip6-localhost ip6-loopback\n' \
  "$(uname -n)" >"$hosts"
chmod 644 "$hosts"
mount --bind "$hosts" /etc/hosts || die "bind-mount a hosts file"

# The devices' side: a network namespace held open by a sleeping process.
unshare --net sleep infinity &
device_holder=$!
device_netns=/proc/$device_holder/ns/net
for _ in $(seq 50); do
  [ "$(readlink "$device_netns" 2>/dev/null)" != "$(readlink /proc/self/ns/net)" ] && break
  sleep 0.02
done
[ "$(readlink "$device_netns" 2>/dev/null)" != "$(readlink /proc/self/ns/net)" ] ||
  die "no network namespace for the devices"
on_devices() { nsenter --net="$device_netns" "$@"; }

# This kernel has no dummy links: the second interface is a veth pair with
# both ends here.
ip link add other0 type veth peer name other0-peer || die "veth pairs (other0)"
ip addr add "$PC_OTHER/24" dev other0
ip link set other0-peer up
ip link set other0 up
ip link add lan0 type veth peer name eth0 netns "$device_holder" || die "veth pairs (lan0)"
ip addr add "$PC/24" dev lan0
ip link set lan0 up
ip route add default via "$NET.1" dev lan0

on_devices ip link set lo up
addresses=()
for ((i = 0; i < devices; ++i)); do
  address=$NET.$((FIRST_DEVICE + i))
  on_devices ip addr add "$address/24" dev eth0
  addresses+=("$address")
done
on_devices ip link set eth0 up

export LAN_PC=$PC LAN_PC_OTHER=$PC_OTHER LAN_DEVICES="${addresses[*]}" LAN_DEVICE_NETNS=$device_netns
status=0
"$@" || status=$?
exit $status
