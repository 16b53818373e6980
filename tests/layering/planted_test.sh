#!/usr/bin/env bash
# The layering check sees what it is for: a copy of the tree passes it, and
# each include below, planted alone in the copy, fails it.
# Usage: planted_test.sh SOURCE_DIR
set -uo pipefail
root=$(cd "${1:?source folder}" && pwd)
check=$root/tests/layering/check_layering.py
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree=$work/tree
mkdir -p "$tree"
# The checkout's sources (a package build's copy is no checkout, even where it
# lies inside one, in its ignored build folder: every one).
if [ "$(git -C "$root" rev-parse --show-toplevel 2>/dev/null)" = "$(cd "$root" && pwd -P)" ]; then
  git -C "$root" ls-files -z '*.cpp' '*.h'
else
  (cd "$root" && find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print0)
fi | tar -C "$root" --null -T - -cf - | tar -C "$tree" -xf - || exit 1

status=0
if ! /usr/bin/python3 "$check" "$tree" >"$work/clean.txt"; then
  echo "planted: the unchanged copy fails the check:"
  cat "$work/clean.txt"
  exit 1
fi
# FILE|LINE: each a fault the check must see.
while IFS='|' read -r file line; do
  [ -n "$file" ] || continue
  cp "$tree/$file" "$work/saved"
  printf '%s\n' "$line" | sed 's/\\n/\n/g' | cat - "$work/saved" >"$tree/$file"
  if /usr/bin/python3 "$check" "$tree" >"$work/out.txt"; then
    echo "planted: NOT SEEN in $file: $line"
    status=1
  else
    echo "planted: seen in $file: $line"
  fi
  cp "$work/saved" "$tree/$file"
done <<'PLANTED'
app/upgrade.cpp|#include <poll.h>
http/http.cpp|#include <ws2tcpip.h>
tftp/listener.cpp|#ifdef WIN32\n#endif
ui/dialogs.cpp|#include "frontends/common/text.h"
frontends/qt/qt_frontend.cpp|#include "../terminal/layout.h"
frontends/terminal/layout.cpp|#include "platform/posix/seams.h"
platform/posix/console.cpp|#include "platform/win32/wide.h"
platform/portable/dialog.cpp|#include "admin/output.h"
admin/scan/scan.cpp|#include <unistd.h>
programs/qel_upgrade_main.cpp|#include "tests/support/files.h"
programs/qel_upgrade_cli_main.cpp|#include "platform/win32/wide.h"
tools/device-sim/net.cpp|#include "../../http/http.h"
bench/main.cpp|#include "platform/fake/fake.h"
tests/unit/md5_test.cpp|#include "tools/device-sim/digest.h"
PLANTED
exit $status
