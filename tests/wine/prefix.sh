# shellcheck shell=bash
# Sourced by the Wine tests: a ready prefix kept per Wine version, which each
# test copies (a copy takes under a second, a new prefix about ten).
#   wine_prefix_template DIR LOG    makes DIR the template unless it is ready
wine_prefix_template() {
  local template=$1 log=$2 version
  version=$(wine --version)
  [ "$(cat "$template/.qel-wine-version" 2>/dev/null)" = "$version" ] && return 0
  echo "preparing the Wine prefix template ($version)"
  rm -rf "$template"
  WINEPREFIX="$template" wineboot -i >"$log" 2>&1
  # Without a window manager, managed windows get no caption and stall.
  WINEPREFIX="$template" wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
    >>"$log" 2>&1
  WINEPREFIX="$template" wineserver -w
  [ -f "$template/system.reg" ] || { echo "wineboot failed (log: $log)" >&2; return 1; }
  echo "$version" >"$template/.qel-wine-version"
}
