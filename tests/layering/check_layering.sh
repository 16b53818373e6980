#!/usr/bin/env bash
# The core (app/ firmware/ http/ session/ tftp/ ui/) is written once for every
# platform: it includes only the standard library, other core headers,
# resources/ids.h and templates, and the platform layer's interface
# (platform/*.h). It never includes a platform's own files or a front-end,
# and never asks which platform it is on.
# The build enforces the core's own order (session/layer.h); this checks what
# a compiler cannot see: system headers, platform tests, and the folders
# around the core.
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

# The platform layer sits below the core: its interface includes only itself,
# and each implementation only the interface, its own folder and the
# resources it serves; none knows the core, a front-end, a test or a tool.
platform_includes=$(grep -rnE '#[[:space:]]*include[[:space:]]*"' platform 2>/dev/null |
  grep -vE ':[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*"(platform/[a-z_]+\.h|resources/[a-z_]+\.h)"' |
  while IFS= read -r line; do
    file=${line%%:*}
    folder=$(dirname "$file")
    case $line in *"\"$folder/"*) ;; *) echo "$line" ;; esac
  done)
if [ -n "$platform_includes" ]; then
  echo "The platform layer includes something above it or another platform's files:"
  echo "$platform_includes"
  status=1
fi

# Front-ends share frontends/common and never reach into each other or into
# the tests and tools; only the launcher (frontends/*.cpp) picks one.
for folder in frontends/*/; do
  folder=${folder%/}
  crossing=$(grep -rnE '#[[:space:]]*include[[:space:]]*"(frontends|tests|tools)/' "$folder" 2>/dev/null |
    grep -vE "\"(frontends/common|$folder)/")
  if [ -n "$crossing" ]; then
    echo "$folder includes another front-end, a test or a tool:"
    echo "$crossing"
    status=1
  fi
done

# The simulator shares no code with the product.
tools_includes=$(grep -rnE '#[[:space:]]*include[[:space:]]*"(app|firmware|http|session|tftp|ui|platform|frontends|resources)/' tools 2>/dev/null)
if [ -n "$tools_includes" ]; then
  echo "tools/ includes the product's code:"
  echo "$tools_includes"
  status=1
fi

[ $status -eq 0 ] && echo "layering: the core includes only the standard library, itself and platform/*.h; the platform, front-ends and tools keep to their folders"
exit $status
