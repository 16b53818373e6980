#!/usr/bin/env bash
# Builds the Windows program: first the host tools natively (image, icon and
# resource-script writers), then the MinGW-w64 cross build that uses them.
#   scripts/build-win32.sh [extra cmake -D options for the cross build]
# Build folders: QEL_WIN32_HOST_BUILD (default build/win32-host) and
# QEL_WIN32_BUILD (default build/win32). A host folder that is configured
# already (the ci build, say) is used as it is: its tools are the same.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
host=${QEL_WIN32_HOST_BUILD:-$root/build/win32-host}
cross=${QEL_WIN32_BUILD:-$root/build/win32}
jobs=2

[ -f "$host/CMakeCache.txt" ] ||
  cmake -S "$root" -B "$host" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$host" -j"$jobs" --target qel-make-image qel-make-rc qel-make-icon

cmake -S "$root" -B "$cross" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DQEL_HOST_TOOLS="$host/resources" \
  -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$cross" -j"$jobs"

for exe in "$cross/qel-upgrade.exe" "$cross/qel-upgrade-cli.exe"; do
  [ -f "$exe" ] || continue  # the console program needs CLI11 and nlohmann-json
  echo "$exe: $(stat -c %s "$exe") bytes"
  x86_64-w64-mingw32-objdump -p "$exe" | grep 'DLL Name' | sed 's/^[[:space:]]*/  imports /'
done
