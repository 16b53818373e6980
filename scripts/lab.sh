#!/usr/bin/env bash
# A lab for the administrators' commands: N simulated QEL devices on a
# private LAN (tests/lan/lan.sh, nothing reaches a real network) and a shell
# on this PC's side of it, where qel-upgrade scan, upgrade and fleet (and
# ansible-playbook) work against them. The devices live until the shell
# ends; then everything is gone.
#   scripts/lab.sh [N] [KINDS]               a shell (N devices, default 5)
#   scripts/lab.sh [N] [KINDS] -- COMMAND    runs COMMAND there instead
#   scripts/lab.sh --help
# KINDS: "mix" (default: the first device wants the password "lab", the
# second already runs the target version, the third drops 2 % of its
# acknowledgements, the rest are plain), "plain", or a comma list of kinds
# for the first devices, the rest plain: password, current, flaky, slow,
# never-return, hang (accepts and never answers), plain, late (switched on late:
# nothing answers at its address, not even ARP, until it comes up
# QEL_LAB_LATE_SECONDS after the lab starts, default 90; then it is plain).
# Each device has its own MAC address and serial number.
# The shell has $LAB (its folder: devices.txt, a fleet list with the
# password file; inventory.yml, the same devices for Ansible; logs/, each
# device's log) and PATH starting with the build. With ansible-core
# installed, the collection qel.firmware is installed in $LAB/collections and
# Ansible keeps its files in $LAB too (nothing in your home), so that
#   scripts/lab.sh 8 -- ansible-playbook -i inventory.yml qel.firmware.rollout
# runs the collection's example rollout against the lab.
# Needs root or unprivileged user namespaces. QEL_LAB_BUILD=DIR uses the
# programs already built in DIR; QEL_LAB_REBOOT_SECONDS=S makes the devices
# reboot in S seconds (default 5), for a program on a faster clock. A late
# device's log says "UP after=S" when it comes up.
set -euo pipefail
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
root=$PWD

# The comment above, without its marks.
usage() { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$self"; }
count=5 kinds=mix
command=()
while [ $# -gt 0 ]; do
  case $1 in
    -h | --help) usage; exit 0 ;;
    --) shift; command=("$@"); break ;;
    [0-9]*) count=$1; shift ;;
    *) kinds=$1; shift ;;
  esac
done
if ! [[ $count =~ ^[0-9]+$ ]] || [ "$count" -lt 1 ] || [ "$count" -gt 100 ]; then
  echo "lab: N must be 1 to 100 (198.51.100.20 and up)" >&2
  exit 2
fi
reboot=${QEL_LAB_REBOOT_SECONDS:-5}
[[ $reboot =~ ^[0-9]+(\.[0-9]+)?$ ]] || { echo "lab: QEL_LAB_REBOOT_SECONDS must be a number of seconds" >&2; exit 2; }
late=${QEL_LAB_LATE_SECONDS:-90}
[[ $late =~ ^[0-9]+(\.[0-9]+)?$ ]] || { echo "lab: QEL_LAB_LATE_SECONDS must be a number of seconds" >&2; exit 2; }
case $kinds in mix) kinds=password,current,flaky ;; plain) kinds= ;; esac
IFS=, read -r -a kind_list <<<"$kinds"
for kind in "${kind_list[@]}"; do
  case $kind in password | current | flaky | slow | never-return | hang | plain | late) ;;
    *) echo "lab: unknown kind '$kind' (password, current, flaky, slow, never-return, hang, plain, late)" >&2; exit 2 ;;
  esac
done

if [ -n "${QEL_LAB_BUILD:-}" ]; then
  bin=$(realpath "$QEL_LAB_BUILD")
else
  scripts/install-deps.sh build desktop
  cmake --preset default >/dev/null
  echo "Building (the first build takes a few minutes)..."
  build_log=$(mktemp)
  cmake --build --preset default --target qel-upgrade qel-device-sim >"$build_log" 2>&1 ||
    { cat "$build_log"; rm -f "$build_log"; exit 1; }
  rm -f "$build_log"
  bin=$root/build/default
fi
for program in "$bin/qel-upgrade" "$bin/tools/device-sim/qel-device-sim"; do
  [ -x "$program" ] || { echo "lab: $program is not built" >&2; exit 1; }
done

lab=$(mktemp -d /tmp/qel-lab.XXXXXX)
chmod 755 "$lab"
trap 'rm -rf "$lab"' EXIT
mkdir "$lab/logs"
printf 'lab\n' >"$lab/password"
chmod 600 "$lab/password"
{
  echo "# the lab's devices; the first wants a password (user admin, password \"lab\")"
  for ((n = 0; n < count; n++)); do
    address=198.51.100.$((20 + n))
    if [ "${kind_list[$n]:-}" = password ]; then echo "$address  admin  password"; else echo "$address"; fi
  done
} >"$lab/devices.txt"
printf '%s\n' "${kind_list[@]}" >"$lab/kinds"
# The same devices for Ansible, as the collection's example playbook expects
# them: one site, this PC its runner.
{
  echo "# the lab's devices for the collection's example playbook (qel.firmware.rollout)"
  echo "all:"
  echo "  children:"
  echo "    runners:"
  echo "      hosts:"
  echo "        lab-pc:"
  echo "          ansible_connection: local"
  echo "          ansible_python_interpreter: /usr/bin/python3"
  echo "    site_lab:"
  echo "      vars:"
  echo "        site_runner: lab-pc"
  echo "      hosts:"
  for ((n = 0; n < count; n++)); do
    echo "        lab-$((20 + n)):"
    echo "          ansible_host: 198.51.100.$((20 + n))"
    if [ "${kind_list[$n]:-}" = password ]; then echo "          qel_password: lab"; fi
  done
  echo "    qel_devices:"
  echo "      children:"
  echo "        site_lab:"
} >"$lab/inventory.yml"
if command -v ansible-galaxy >/dev/null; then
  ANSIBLE_HOME=$lab/.ansible ansible-galaxy collection install --force -p "$lab/collections" \
    ansible/ansible_collections/qel/firmware >"$lab/.galaxy.log" 2>&1 ||
    { cat "$lab/.galaxy.log"; echo "lab: the collection did not install" >&2; exit 1; }
fi

# The PC's side of the LAN; the devices on the other side live as long as it.
status=0
tests/lan/lan.sh --devices "$count" -- bash -c '
  bin=$1 lab=$2 count=$3 reboot=$4 late=$5
  shift 5
  mapfile -t kinds <"$lab/kinds"
  on_devices() { nsenter --net="$LAN_DEVICE_NETNS" "$@"; }
  for ((n = 0; n < count; n++)); do
    address=198.51.100.$((20 + n))
    # Each its own MAC address and serial number, as real devices have.
    args=(--allow-any-address --address "$address" --http-port 80 --reboot-seconds "$reboot"
          --time-limit 86400 --log "$lab/logs/$address.log" --port-file "$lab/logs/$address.port"
          --mac "$(printf "00:0E:08:12:35:%02X" "$n")" --serial "$(printf "FM5000%05d" $((20 + n)))")
    case ${kinds[$n]:-} in
      password) args+=(--password lab) ;;
      current) args+=(--software 5.2.5) ;;
      flaky) args+=(--ack-drop p=0.02 --seed "$n") ;;
      slow) args+=(--ack-delay all --ack-delay-ms 5) ;;
      never-return) args+=(--never-return) ;;
      hang) args+=(--http-hang) ;;
      late) args+=(--up-after-seconds "$late") ;;
    esac
    if [ "${kinds[$n]:-}" = late ]; then
      # A switched-off phone answers nothing, not even ARP: its address leaves
      # the LAN (the others stay when it was the first) until the device is up.
      read -r _ interface _ cidr _ < <(on_devices ip -o -4 addr show to "$address/32")
      echo 1 | on_devices tee "/proc/sys/net/ipv4/conf/$interface/promote_secondaries" >/dev/null
      on_devices ip addr del "$cidr" dev "$interface"
      on_devices "$bin/tools/device-sim/qel-device-sim" "${args[@]}" &
      device=$!
      # Until it says it is up, or is gone.
      (while ! grep -q "^UP " "$lab/logs/$address.log" 2>/dev/null; do
         kill -0 "$device" 2>/dev/null || exit 0
         sleep 0.2
       done
       on_devices ip addr add "$cidr" dev "$interface") &
    else
      on_devices "$bin/tools/device-sim/qel-device-sim" "${args[@]}" &
    fi
  done
  for ((n = 0; n < count; n++)); do
    for _ in $(seq 100); do [ -s "$lab/logs/198.51.100.$((20 + n)).port" ] && break; sleep 0.05; done
  done
  export LAB=$lab PATH=$bin:$PATH
  # Ansible finds the collection and keeps its files in the lab.
  export ANSIBLE_COLLECTIONS_PATH=$lab/collections ANSIBLE_HOME=$lab/.ansible \
    ANSIBLE_LOCAL_TEMP=$lab/.ansible/tmp ANSIBLE_REMOTE_TEMP=$lab/.ansible/tmp \
    ANSIBLE_RETRY_FILES_ENABLED=0
  cd "$lab"
  if [ $# -gt 0 ]; then
    "$@"
    exit
  fi
  echo "qel-upgrade lab: $count simulated devices at 198.51.100.20-$((19 + count)); this PC is"
  echo "198.51.100.10 (and 203.0.113.10). Kinds: ${kinds[*]:-all plain}."
  [[ " ${kinds[*]} " == *" late "* ]] &&
    echo "The late devices come up $late s after the start (QEL_LAB_LATE_SECONDS)."
  # Suggest an upgrade that does something: a plain device, else one with the password.
  suggest=""
  for ((n = count - 1; n >= 0; n--)); do
    case ${kinds[$n]:-} in
      "" | plain) suggest="upgrade 198.51.100.$((20 + n)) --yes" ;;
      password) [[ $suggest == *--password-file* || -z $suggest ]] &&
        suggest="upgrade 198.51.100.$((20 + n)) --password-file password --yes" ;;
    esac
  done
  echo "Try:  qel-upgrade scan"
  [ -n "$suggest" ] && echo "      qel-upgrade $suggest"
  echo "      qel-upgrade fleet devices.txt --parallel 8 --log-dir logs/fleet"
  command -v ansible-playbook >/dev/null &&
    echo "      ansible-playbook -i inventory.yml qel.firmware.rollout"
  echo "$LAB holds devices.txt (a fleet list), inventory.yml (for Ansible), password and"
  echo "each device'"'"'s log (logs/)."
  echo "Leave with exit: the devices and the LAN go with the shell."
  PS1="(qel-lab) \w\$ " bash --norc -i
' lab "$bin" "$lab" "$count" "$reboot" "$late" "${command[@]}" || status=$?
exit $status
