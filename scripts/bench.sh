#!/usr/bin/env bash
# Benchmark of the wizard's TFTP server and of its idle cost. Not a test: it
# prints measurements and checks them against the goals, but its exit code
# says only whether everything could be measured.
#
#   scripts/bench.sh [ROUNDS]     ROUNDS downloads per client and server (default 10)
#   scripts/bench.sh --short      one round and short waits: CI runs it so that the
#                                 benchmark cannot break unseen (its figures mean little)
#
# 1. The embedded Target image downloaded with curl and with atftp, at
#    512-byte blocks, from our listener and from tftpd-hpa, alternating, on
#    loopback in a private network namespace; medians, ratios and the
#    lock-step limit (loopback round trip x 1,702 blocks).
# 2. What the waits cost on this machine by themselves.
# 3. The resend timing at real speed: one lost acknowledgement, then a device
#    silent for good (about 50 s).
# 4. A whole scripted upgrade at real speed: CPU while the waiting dialog is
#    up and during the 30-second wait after the transfer, and peak RSS; and
#    a fleet that waits, for its --window and between a device's tries
#    (--keep-trying): its CPU (goal under 0.1 % of a core).
# 5. Peak memory of the command line, which maps no toolkit: `qel-upgrade
#    --version`, and a scan of a /24 where nobody answers (every probe runs
#    to its deadline), measured with /usr/bin/time -v.
# 6. The size of the Windows program.
# 7. A fleet of 20 simulated devices at --parallel 10, upgraded by the Linux
#    program and by the Windows console program under Wine (each against
#    freshly started devices, in a private network namespace): wall time of
#    each whole fleet (not when short; needs Wine and the console program,
#    QEL_WIN32_CLI_EXE, else build/win32/qel-upgrade-cli.exe).
# 8. A scan of a /24 holding 40 simulated devices (tests/lan/lan.sh), and of
#    the adapters' two subnets, by the Linux program and by the Windows
#    console program under Wine (a wineserver kept running, as in a
#    session), three runs each: wall time and the program's own figure,
#    beside Wine's start-up alone (not when short; needs Wine).
#
# Needs the Debian packages curl, atftp and tftpd-hpa. Build folder:
# QEL_BENCH_BUILD (default build/bench, its own project), built with -j2; a
# build folder of the product itself (CI's build/ci) is used as it is. The
# Windows program: QEL_WIN32_EXE, else build/win32/qel-upgrade.exe, built by
# scripts/build-win32.sh when missing and MinGW-w64 is installed (not when
# short).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# Short: one round, a 1-second floor, the resend timing without the
# 47-second silence, a waiting dialog of 6 seconds (2 s or more measured),
# a waiting fleet measured for 3 s.
rounds=${1:-10} floor_seconds=5 until_given_up=1 idle_wait=20 fleet_wait=60
if [ "${1:-}" = --short ]; then
  rounds=1 floor_seconds=1 until_given_up=0 idle_wait=6 fleet_wait=3
fi
case $rounds in '' | *[!0-9]*)
  echo "usage: scripts/bench.sh [ROUNDS | --short]" >&2
  exit 2
  ;;
esac
build=$(realpath -m "${QEL_BENCH_BUILD:-$root/build/bench}")

for tool in curl atftp in.tftpd; do
  if ! command -v "$tool" >/dev/null; then
    echo "bench: $tool is missing (Debian packages: curl atftp tftpd-hpa)" >&2
    exit 1
  fi
done

# A build of the product itself (CI's) has the benchmark's targets too.
if grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$root" "$build/CMakeCache.txt" 2>/dev/null; then
  product=$build bench_bin=$build/bench
else
  cmake -S bench -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  product=$build/qel bench_bin=$build
fi
cmake --build "$build" -j2 --target qel-bench qel-bench-serve qel-upgrade-scripted qel-device-sim \
  qel-upgrade >/dev/null

netns=(unshare --net)
[ "$(id -u)" -eq 0 ] || netns=(unshare --net --map-root-user)
if ! "${netns[@]}" true 2>/dev/null; then
  echo "bench: cannot create a private network namespace (${netns[*]})" >&2
  exit 1
fi

load() { echo "load average $(cut -d' ' -f1-3 /proc/loadavg)"; }

echo "qel-upgrade benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(uname -r)"
echo "tools: $(curl --version | head -1 | cut -d' ' -f1-2), $(atftp --version 2>&1 | head -1)," \
  "$(in.tftpd -V 2>&1 | head -1 | cut -d, -f1)"
echo "before: $(load)"
status=0
"${netns[@]}" bash -c '
  set -e
  ip link set lo up
  cd "$1"
  product=$6
  ./qel-bench transfer --serve ./qel-bench-serve --rounds "$2"
  echo "after the transfers: load average $(cut -d" " -f1-3 /proc/loadavg)"
  ./qel-bench floor --seconds "$3"
  ./qel-bench timing --serve ./qel-bench-serve --until-given-up "$4"
  ./qel-bench idle --harness "$product/qel-upgrade-scripted" \
      --sim "$product/tools/device-sim/qel-device-sim" --wait-seconds "$5"
  ./qel-bench fleet-wait --upgrade "$product/qel-upgrade" --seconds "$7"
  echo
  echo "Command line, peak RSS (/usr/bin/time -v; goals: --version under 4 MB, a /24 scan under 8 MB,"
  echo "each met only with 5% of it to spare):"
  # A LAN where nobody answers: each address is probed until ARP gives up.
  ip link add qelbench0 type veth peer name qelbench1
  ip addr add 198.51.100.10/24 dev qelbench0
  ip link set qelbench0 up
  ip link set qelbench1 up
  peak() {
    local goal_kb=$1 label=$2
    shift 2
    /usr/bin/time -v -o time.txt "$@" >/dev/null 2>&1 || true
    kb=$(sed -n "s/.*Maximum resident set size (kbytes): //p" time.txt)
    [ -n "$kb" ] || { echo "  $label: not measured"; return 0; }
    verdict="met"
    [ "$kb" -le $((goal_kb * 95 / 100)) ] || verdict="NOT met"
    printf "  %-36s %5.1f MB (%s kB)  (goal < %d MB: %s)\n" "$label:" "$(awk -v k="$kb" "BEGIN { print k / 1024 }")" "$kb" \
      $((goal_kb / 1024)) "$verdict"
  }
  peak 4096 "qel-upgrade --version" "$product/qel-upgrade" --version
  peak 8192 "qel-upgrade scan 198.51.100.0/24" "$product/qel-upgrade" scan 198.51.100.0/24
' bench "$bench_bin" "$rounds" "$floor_seconds" "$until_given_up" "$idle_wait" "$product" \
  "$fleet_wait" || status=$?
echo "after: $(load)"

exe=${QEL_WIN32_EXE:-$root/build/win32/qel-upgrade.exe}
if [ ! -f "$exe" ] && [ -z "${QEL_WIN32_EXE:-}" ] && [ "$until_given_up" = 1 ] && command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  scripts/build-win32.sh >/dev/null
fi
echo
if [ -f "$exe" ]; then
  size=$(stat -c %s "$exe")
  echo "Windows program: $exe, $size bytes ($(awk -v s="$size" 'BEGIN { printf "%.2f", s / 1048576 }') MB," \
    "of which the embedded Target image 871243 bytes)"
elif [ "$until_given_up" = 0 ]; then
  echo "Windows program: not built for a short run (no $exe)"
else
  echo "Windows program: not built (no $exe, no MinGW-w64)"
fi

cli=${QEL_WIN32_CLI_EXE:-$root/build/win32/qel-upgrade-cli.exe}
echo
if [ "$until_given_up" = 0 ]; then
  echo "Fleet, Linux and Windows: not measured in a short run"
elif [ ! -f "$cli" ] || ! command -v wine >/dev/null; then
  echo "Fleet, Linux and Windows: not measured (no $cli or no Wine)"
else
  echo "Fleet of 20 simulated devices at --parallel 10 (each device reflashes for 3 s; every"
  echo "upgrade waits the wizard's 30 s after its transfer):"
  "${netns[@]}" bash -c '
    ip link set lo up
    product=$1 cli=$2 work=$3
    export WINEPREFIX="$work/wine-prefix-bench" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY
    mkdir -p "$work" && cd "$work" || exit 1
    [ -d "$WINEPREFIX" ] || wineboot -i >wineboot.log 2>&1
    wineserver -k 2>/dev/null
    wineserver -p 60
    seq 2 21 | sed "s/^/127.0.0./" >fleet20.txt
    run() {
      local label=$1 sims=() n start ms
      shift
      for n in $(seq 2 21); do
        "$product/tools/device-sim/qel-device-sim" --address "127.0.0.$n" --http-port 80 \
          --reboot-seconds 3 --time-limit 600 --port-file "sim$n.port" >/dev/null 2>&1 &
        sims+=($!)
      done
      for n in $(seq 2 21); do
        for _ in $(seq 100); do [ -s "sim$n.port" ] && break; sleep 0.1; done
      done
      start=$(date +%s%N)
      "$@" fleet fleet20.txt --parallel 10 --report fleet.csv >/dev/null 2>fleet.err
      ms=$((($(date +%s%N) - start) / 1000000))
      kill "${sims[@]}" 2>/dev/null
      wait "${sims[@]}" 2>/dev/null
      rm -f sim*.port
      printf "  %-34s %6.1f s  (%s)\n" "$label:" "$(awk -v m="$ms" "BEGIN { print m / 1000 }")" \
        "$(tr -d "\r" <fleet.err | sed -n "s/^qel-upgrade fleet: //p" | tail -1)"
    }
    run "Linux qel-upgrade" "$product/qel-upgrade"
    run "Windows qel-upgrade-cli.exe (Wine)" wine "$cli"
    wineserver -k 2>/dev/null
  ' bench "$product" "$cli" "$build/fleet-bench"
fi

echo
if [ "$until_given_up" = 0 ]; then
  echo "Scan, Linux and Windows: not measured in a short run"
elif [ ! -f "$cli" ] || ! command -v wine >/dev/null; then
  echo "Scan, Linux and Windows: not measured (no $cli or no Wine)"
else
  echo "Scan on a LAN of 40 simulated devices, three runs each: wall time (the program's own):"
  tests/lan/lan.sh --devices 40 -- bash -c '
    product=$1 cli=$2 work=$3
    export WINEPREFIX="$work/wine-prefix-scan" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY
    mkdir -p "$work" && cd "$work" || exit 1
    [ -d "$WINEPREFIX" ] || wineboot -i >wineboot.log 2>&1
    # Started here, where the program runs: its sockets and adapters are this LAN'"'"'s.
    wineserver -k 2>/dev/null
    wineserver -p 60
    sims=()
    for a in $LAN_DEVICES; do
      nsenter --net="$LAN_DEVICE_NETNS" "$product/tools/device-sim/qel-device-sim" --address "$a" \
        --allow-any-address --http-port 80 --time-limit 600 --port-file "sim-$a.port" \
        >/dev/null 2>&1 &
      sims+=($!)
    done
    for a in $LAN_DEVICES; do
      for _ in $(seq 100); do [ -s "sim-$a.port" ] && break; sleep 0.1; done
    done
    run() {
      local label=$1 i start ms said times=""
      shift
      for i in 1 2 3; do
        start=$(date +%s%N)
        "$@" </dev/null >scan.out 2>scan.err
        ms=$((($(date +%s%N) - start) / 1000000))
        said=$(tr -d "\r" <scan.err | sed -n "s/.* in \([0-9.]*\) s$/\1/p" | tail -1)
        times+="  $(awk -v m="$ms" "BEGIN { printf \"%.2f\", m / 1000 }") s (${said:--})"
      done
      printf "  %-42s%s\n" "$label:" "$times"
    }
    run "Linux qel-upgrade scan 198.51.100.0/24" "$product/qel-upgrade" scan 198.51.100.0/24
    run "Windows qel-upgrade-cli.exe (Wine), same" wine "$cli" scan 198.51.100.0/24
    run "Windows: Wine start-up alone (--version)" wine "$cli" --version
    run "Linux qel-upgrade scan (both subnets)" "$product/qel-upgrade" scan
    run "Windows qel-upgrade-cli.exe (Wine), same" wine "$cli" scan
    kill "${sims[@]}" 2>/dev/null
    wait "${sims[@]}" 2>/dev/null
    wineserver -k 2>/dev/null
  ' bench "$product" "$cli" "$build/scan-bench"
fi
exit $status
