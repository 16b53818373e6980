#!/usr/bin/env bash
# The Windows package under Wine: built twice to the same bytes, installed
# silently, its programs run from where they landed, the console program
# found through the system PATH, replaced by a newer package, an older one
# refused, and removed without a trace.
#
#   tests/wine/msi_test.sh --build WIN32_BUILD --work DIR
#
# Wine's netsh is a stub: the firewall rule the package adds cannot be seen
# here. Exit status: 0 passed, 1 a check failed, 77 cannot run here.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
root=$(pwd)

build="" work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(realpath "$2"); shift 2 ;;
    --work) mkdir -p "$2" && work=$(realpath "$2"); shift 2 ;;
    *) echo "msi_test: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$build" ] || [ -z "$work" ]; then
  echo "usage: $0 --build WIN32_BUILD --work DIR" >&2
  exit 2
fi
for tool in wine wineserver wixl msibuild msiinfo faketime; do
  command -v "$tool" >/dev/null ||
    { echo "msi_test: SKIPPED, missing $tool (scripts/install-deps.sh win32)" >&2; exit 77; }
done

logs=$work/msi-logs
out=$work/msi
rm -rf "$logs" "$out"
mkdir -p "$logs" "$out"
failures=0
check() {  # check DESCRIPTION COMMAND...: runs the command, reports
  local what=$1
  shift
  if "$@"; then
    echo "  ok   $what"
  else
    echo "  FAIL $what"
    failures=$((failures + 1))
  fi
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
IFS=. read -r major minor patch <<<"$version"
newer="$major.$minor.$((patch + 1))"

echo "msi_test: building the package ($version), again, and $newer"
t0=$SECONDS
scripts/build-msi.sh --build "$build" "$out/qel-upgrade.msi" >"$logs/build.log" 2>&1 ||
  { cat "$logs/build.log"; exit 1; }
scripts/build-msi.sh --build "$build" "$out/again/qel-upgrade.msi" >>"$logs/build.log" 2>&1 ||
  { cat "$logs/build.log"; exit 1; }
scripts/build-msi.sh --build "$build" --version "$newer" "$out/newer/qel-upgrade.msi" \
  >>"$logs/build.log" 2>&1 || { cat "$logs/build.log"; exit 1; }
check "two builds give the same bytes" cmp "$out/qel-upgrade.msi" "$out/again/qel-upgrade.msi"
product=$(msiinfo export "$out/qel-upgrade.msi" Property | sed -n 's/^ProductCode\t//p' | tr -d '\r')
newer_product=$(msiinfo export "$out/newer/qel-upgrade.msi" Property |
  sed -n 's/^ProductCode\t//p' | tr -d '\r')
check "the newer package has a product code of its own" \
  test -n "$product" -a -n "$newer_product" -a "$product" != "$newer_product"
echo "  built in $((SECONDS - t0)) s: $(stat -c %s "$out/qel-upgrade.msi") bytes"

# ---- under Wine -------------------------------------------------------------

export WINEDEBUG=-all
# No Mono or Gecko prompts; no menu entries written into this machine's
# desktop (the shortcut stays inside the prefix).
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export XDG_DATA_HOME=$work/msi-xdg XDG_CONFIG_HOME=$work/msi-xdg
unset DISPLAY
# shellcheck source=tests/wine/prefix.sh
. "$root/tests/wine/prefix.sh"
wine_prefix_template "$work/wine-template" "$logs/wineboot.log" || exit 1
export WINEPREFIX=$work/prefix-msi
rm -rf "$WINEPREFIX"
cp -a "$work/wine-template" "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; rm -rf "$WINEPREFIX"' EXIT
# One wineserver for every step.
wineserver -p
# Programs are started from a folder that holds none of them, so that a name
# can only be found through PATH.
empty=$work/msi-empty
mkdir -p "$empty"
cd "$empty" || exit 1

drive=$WINEPREFIX/drive_c
folder="$drive/Program Files/QEL Upgrade"
menu=$(printf '%s' "$drive"/users/*/AppData/Roaming/Microsoft/Windows/"Start Menu"/Programs)
environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
programs=(qel-upgrade.exe qel-upgrade-cli.exe)

msiexec() {  # msiexec NAME ARGS...: the exit code, with a verbose log and
  local name=$1  # the command lines of the processes it started
  shift
  WINEDEBUG=trace+process wine msiexec "$@" /qn /l*v "Z:${logs//\//\\}\\$name.log" \
    >/dev/null 2>"$logs/$name.processes"
}
# The firewall rule cannot be seen under Wine (its netsh is a stub), but the
# command lines the package hands to netsh can.
netsh_calls() {  # netsh_calls LOG: netsh's arguments, one run a line, in order
  grep -a 'CreateProcessInternalW app L"C:\\\\windows\\\\system32\\\\netsh.exe"' "$logs/$1.processes" |
    sed 's/.* cmdline L"C:\\\\windows\\\\system32\\\\netsh.exe //; s/"$//; s/\\"/"/g; s/\\\\/\\/g'
}
ran_netsh() {  # ran_netsh LOG ARGUMENTS: netsh was started with exactly these
  netsh_calls "$1" | grep -qxF "$2"
}
rule='advfirewall firewall add rule name="QEL Upgrade TFTP" dir=in action=allow protocol=UDP localport=69-168'
# shellcheck disable=SC1003  # a backslash at the end, not an escape
program='program="C:\Program Files\QEL Upgrade\'
delete='advfirewall firewall delete rule name="QEL Upgrade TFTP"'
reg_value() {  # reg_value KEY NAME: the value's data, empty when absent
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
has_key() { wine reg query "$1" >/dev/null 2>&1; }
lacks_key() { ! has_key "$1"; }
path_entries() {  # how many times the program folder is on the system PATH
  reg_value "$environment" PATH | tr ';' '\n' | grep -cix 'C:\\Program Files\\QEL Upgrade\\\?'
}
same_files() {
  local p
  for p in "${programs[@]}"; do cmp -s "$build/$p" "$folder/$p" || return 1; done
  cmp -s "$root/debian/copyright" "$folder/copyright.txt"
}
shortcut_names_wizard() {
  local lnk="$menu/QEL Upgrade/QEL Firmware Upgrade.lnk"
  [ -f "$lnk" ] || return 1
  # The target is stored as ANSI and as UTF-16 text.
  grep -aq 'QEL Upgrade\\qel-upgrade.exe' "$lnk" ||
    iconv -f UTF-16LE -t UTF-8 "$lnk" 2>/dev/null | grep -aq 'QEL Upgrade\\qel-upgrade.exe'
}
exit_is() {  # exit_is CODE COMMAND...
  local want=$1 got
  shift
  "$@"
  got=$?
  [ "$got" = "$want" ] || { echo "       exit code $got, expected $want"; return 1; }
}
# The console program by name alone, as a command prompt finds it (PATH; the
# current folder holds no program), and by its folder.
console_help_by_path() {
  wine cmd /c qel-upgrade-cli --help >"$logs/cli-help-by-path.txt" 2>&1 &&
    grep -q scan "$logs/cli-help-by-path.txt"
}
console_help_direct() {
  wine "C:\\Program Files\\QEL Upgrade\\qel-upgrade-cli.exe" --help >"$logs/cli-help.txt" 2>&1 &&
    grep -q '^Usage: qel-upgrade-cli ' "$logs/cli-help.txt" && grep -q scan "$logs/cli-help.txt"
}
# The installed program says the version the package was built with.
console_version() {
  wine "C:\\Program Files\\QEL Upgrade\\qel-upgrade-cli.exe" --version >"$logs/cli-version.txt" 2>&1 &&
    grep -qx "qel-upgrade-cli $1" <(tr -d '\r' <"$logs/cli-version.txt")
}
# What a removal must leave behind: nothing.
nothing_left() {
  local left=()
  [ -e "$folder" ] && left+=("$folder")
  [ -e "$menu/QEL Upgrade" ] && left+=("$menu/QEL Upgrade")
  has_key 'HKLM\Software\QEL Upgrade' && left+=('HKLM\Software\QEL Upgrade')
  has_key "$uninstall\\$product" && left+=("$uninstall\\$product")
  has_key "$uninstall\\$newer_product" && left+=("$uninstall\\$newer_product")
  [ "$(path_entries)" = 0 ] || left+=("the PATH entry")
  [ ${#left[@]} -eq 0 ] || { printf '       left: %s\n' "${left[@]}"; return 1; }
}

t0=$SECONDS
echo "msi_test: install $version"
check "msiexec /i exits 0" exit_is 0 msiexec install /i "$out/qel-upgrade.msi"
check "the programs and the copyright notice are installed as built" same_files
check "the Start menu shortcut starts the wizard" shortcut_names_wizard
check "the program folder is on the system PATH once" test "$(path_entries)" = 1
check "a firewall rule is asked for for the wizard" \
  ran_netsh install "$rule ${program}qel-upgrade.exe\" enable=yes"
check "... and for the console program" \
  ran_netsh install "$rule ${program}qel-upgrade-cli.exe\" enable=yes"
check "the console program runs from its folder" console_help_direct
check "... and says its version, $version" console_version "$version"
check "the console program is found through PATH" console_help_by_path
check "Programs and Features shows $version" test "$(reg_value "$uninstall\\$product" DisplayVersion)" = "$version"
check "... with the copyright notice" \
  test "$(reg_value "$uninstall\\$product" Comments)" = "Copyright 2026 qel-upgrade maintainers. All rights reserved."

echo "msi_test: upgrade to $newer"
check "msiexec /i of the newer package exits 0" exit_is 0 msiexec upgrade /i "$out/newer/qel-upgrade.msi"
check "the older product is gone" lacks_key "$uninstall\\$product"
# The old package's removal deletes the rule: the new one must add it after.
check "the rule is deleted, then asked for again for both programs" \
  test "$(netsh_calls upgrade)" = "$(printf '%s\n' "$delete" \
    "$rule ${program}qel-upgrade.exe\" enable=yes" "$rule ${program}qel-upgrade-cli.exe\" enable=yes")"
check "the newer product is installed" test "$(reg_value "$uninstall\\$newer_product" DisplayVersion)" = "$newer"
check "the programs are still there" same_files
check "the program folder is on the system PATH once" test "$(path_entries)" = 1

echo "msi_test: downgrade to $version"
# 1603 (fatal error), as the shell sees it.
check "msiexec /i of the older package is refused" exit_is 67 msiexec downgrade /i "$out/qel-upgrade.msi"
check "the newer product stays" test "$(reg_value "$uninstall\\$newer_product" DisplayVersion)" = "$newer"

echo "msi_test: remove"
check "msiexec /x exits 0" exit_is 0 msiexec remove /x "$out/newer/qel-upgrade.msi"
check "the firewall rule is deleted" \
  ran_netsh remove "$delete"
check "no file, folder, shortcut, registry key or PATH entry is left" nothing_left
echo "msi_test: Wine steps in $((SECONDS - t0)) s; $failures failed"
[ "$failures" -eq 0 ]
