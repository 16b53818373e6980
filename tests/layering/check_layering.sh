#!/usr/bin/env bash
# The core (app/ firmware/ http/ session/ tftp/ ui/) is written once for every
# platform: it includes only the standard library, other core headers,
# resources/ids.h and templates, and the platform layer's interface
# (platform/*.h). It never includes a platform's own files or a front-end,
# and never asks which platform it is on.
# Usage: check_layering.sh SOURCE_DIR
set -uo pipefail
cd "${1:?source folder}" || exit 2
core=(app firmware http session tftp ui)
status=0

bad_includes=$(grep -rnE '#[[:space:]]*include[[:space:]]*["<](platform/(posix|win32|fake)/|frontends/|tools/|tests/|windows\.h|winsock|sys/|netinet/|arpa/|unistd\.h|pthread\.h|Q[A-Z])' \
  "${core[@]}" 2>/dev/null)
if [ -n "$bad_includes" ]; then
  echo "The core includes a platform's own header, a system header or a front-end:"
  echo "$bad_includes"
  status=1
fi

platform_tests=$(grep -rnE '#[[:space:]]*(if|ifdef|ifndef|elif).*(_WIN32|_WIN64|__linux__|__unix__|__APPLE__|_MSC_VER|__MINGW)' \
  "${core[@]}" 2>/dev/null)
if [ -n "$platform_tests" ]; then
  echo "The core asks which platform it is on:"
  echo "$platform_tests"
  status=1
fi

# Quoted includes of the core name only project folders that exist.
for include in $(grep -rhoE '#[[:space:]]*include[[:space:]]*"[^"]+"' "${core[@]}" | sed -E 's/.*"([^"]+)"/\1/' | sort -u); do
  case $include in
    app/*|firmware/*|http/*|session/*|tftp/*|ui/*|resources/ids.h|resources/templates.h|platform/*.h) ;;
    *) echo "The core includes \"$include\", outside the core and the platform interface"; status=1 ;;
  esac
  case $include in platform/*/*) echo "The core includes \"$include\""; status=1 ;; esac
done

# The dialogs know the session record, not the subsystems that show them:
# http/ and tftp/ use ui/, never the reverse.
ui_upward=$(grep -nE '#[[:space:]]*include[[:space:]]*"(http|tftp)/' ui/* 2>/dev/null)
if [ -n "$ui_upward" ]; then
  echo "ui/ includes a subsystem that uses it (what a dialog shows comes from session/session.h):"
  echo "$ui_upward"
  status=1
fi

# app/ (start-up and the upgrade sequence) sits on top: nothing below it
# includes it. The session record sits at the bottom, on the platform alone.
app_upward=$(grep -rnE '#[[:space:]]*include[[:space:]]*"app/' firmware http session tftp ui 2>/dev/null)
if [ -n "$app_upward" ]; then
  echo "A subsystem below app/ includes it:"
  echo "$app_upward"
  status=1
fi
session_upward=$(grep -rnE '#[[:space:]]*include[[:space:]]*"(app|firmware|http|tftp|ui)/' session 2>/dev/null)
if [ -n "$session_upward" ]; then
  echo "session/ includes a subsystem above it:"
  echo "$session_upward"
  status=1
fi

[ $status -eq 0 ] && echo "layering: the core includes only the standard library, itself and platform/*.h"
exit $status
