#!/usr/bin/env bash
# The Windows package under Wine: signed with a throwaway certificate and
# built twice to the same bytes, its tables and signatures read back, then
# installed silently, its programs run from where they landed and by name
# through the system PATH after every step, replaced by a newer package (the
# same source with its version raised, cross-built here), an older one
# refused, removed, installed again, removed without a trace, and a failing
# install rolled back.
#
#   tests/wine/msi_test.sh --build WIN32_BUILD --work DIR
#
# Wine's netsh is a stub: the firewall rule itself cannot be seen here, only
# the command lines the package hands to netsh, and the rows that hold them.
# Exit status: 0 passed, 1 a check failed, 77 cannot run here.
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
# shellcheck source=tests/lib/test_lib.sh
. "$root/tests/lib/test_lib.sh" || exit 1
NEED_HINT="scripts/install-deps.sh win32"
need wine wineserver wixl msibuild msiinfo msiextract faketime osslsigncode openssl /usr/bin/python3

logs=$work/msi-logs
out=$work/msi
rm -rf "$logs" "$out"
mkdir -p "$logs" "$out"
exit_is() {  # exit_is CODE COMMAND...
  local want=$1 got
  shift
  "$@"
  got=$?
  [ "$got" = "$want" ] || { echo "       exit code $got, expected $want"; return 1; }
}
pe_version() { /usr/bin/python3 "$root/packaging/windows/pe-version.py" "$@"; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
IFS=. read -r major minor patch <<<"$version"
newer="$major.$minor.$((patch + 1))"

# ---- the signer: a throwaway certificate, valid from a day before the
# packages' clock (the newest changelog entry), and its key twice: plain,
# and encrypted with a passphrase that lives in a file.
signer=$work/msi-signer
rm -rf "$signer"
mkdir -p "$signer"
release=$(sed -n 's/^ -- .*>  //p' debian/changelog | head -n 1)
before=$(date -u -d "@$(($(date -u -d "$release" +%s) - 86400))" '+%Y-%m-%d %H:%M:%S')
faketime "$before" openssl req -x509 -newkey rsa:3072 -nodes -days 3650 \
  -subj "/CN=QEL Upgrade throwaway test signer" \
  -keyout "$signer/key.pem" -out "$signer/cert.pem" >"$logs/openssl.log" 2>&1 ||
  { cat "$logs/openssl.log"; exit 1; }
passphrase="qel-$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')"
(umask 077 && printf '%s\n' "$passphrase" >"$signer/pass")
openssl pkey -in "$signer/key.pem" -aes256 -passout "file:$signer/pass" \
  -out "$signer/key-encrypted.pem" >>"$logs/openssl.log" 2>&1 || { cat "$logs/openssl.log"; exit 1; }
chmod 600 "$signer/key.pem" "$signer/key-encrypted.pem"
# osslsigncode as build-msi.sh starts it, its arguments noted.
mkdir -p "$signer/bin"
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s"\nexec "%s" "$@"\n' "$logs/osslsigncode-argv.txt" \
  "$(command -v osslsigncode)" >"$signer/bin/osslsigncode"
chmod 755 "$signer/bin/osslsigncode"
signed_build() {  # signed_build KEY [PASS_FILE] -- build-msi.sh's arguments
  local key=$1 pass=""
  shift
  [ "$1" = -- ] || { pass=$1; shift; }
  shift
  PATH="$signer/bin:$PATH" QEL_SIGN_CERT="$signer/cert.pem" QEL_SIGN_KEY="$key" \
    QEL_SIGN_PASS_FILE="$pass" scripts/build-msi.sh "$@"
}

# ---- a newer release: this source with its version raised, cross-built
# with the same host tools (a compiler cache makes it cheap when the paths
# below the source match: the cache's base folder is the copy's).
echo "msi_test: cross-building $newer from a copy of the source"
t0=$SECONDS
newer_src=$work/msi-newer/src
rm -rf "$work/msi-newer"
mkdir -p "$newer_src"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf - | tar -xf - -C "$newer_src"
sed -i "s/^project(qel-upgrade VERSION $version /project(qel-upgrade VERSION $newer /" \
  "$newer_src/CMakeLists.txt"
grep -q "^project(qel-upgrade VERSION $newer " "$newer_src/CMakeLists.txt" ||
  { echo "msi_test: cannot raise the version in CMakeLists.txt"; exit 1; }
host=$(sed -n 's/^QEL_HOST_TOOLS:[A-Z]*=//p' "$build/CMakeCache.txt")
newer_build=$newer_src/${build#"$root"/}
[ "$newer_build" != "$newer_src/$build" ] || newer_build=$newer_src/build/win32
CCACHE_BASEDIR=$newer_src QEL_WIN32_HOST_BUILD=${host%/resources} QEL_WIN32_BUILD=$newer_build \
  "$newer_src/scripts/build-win32.sh" >"$logs/newer-build.log" 2>&1 ||
  { tail -30 "$logs/newer-build.log"; exit 1; }
echo "  built in $((SECONDS - t0)) s"

echo "msi_test: building the package ($version), again, and $newer"
t0=$SECONDS
signed_build "$signer/key.pem" -- --build "$build" "$out/qel-upgrade.msi" >"$logs/build.log" 2>&1 ||
  { cat "$logs/build.log"; exit 1; }
signed_build "$signer/key-encrypted.pem" "$signer/pass" -- --build "$build" \
  "$out/again/qel-upgrade.msi" >>"$logs/build.log" 2>&1 || { cat "$logs/build.log"; exit 1; }
signed_build "$signer/key.pem" -- --build "$newer_build" "$out/newer/qel-upgrade.msi" \
  >>"$logs/build.log" 2>&1 || { cat "$logs/build.log"; exit 1; }
echo "  built in $((SECONDS - t0)) s: $(stat -c %s "$out/qel-upgrade.msi") bytes"
check "two builds give the same bytes (the second with the key encrypted)" \
  cmp "$out/qel-upgrade.msi" "$out/again/qel-upgrade.msi"
check "the passphrase went by file, on no command line and in no log" \
  eval 'grep -q -- "-readpass $signer/pass " "$logs/osslsigncode-argv.txt" &&
    ! grep -rqF "$passphrase" "$logs"'
product=$(msiinfo export "$out/qel-upgrade.msi" Property | sed -n 's/^ProductCode\t//p' | tr -d '\r')
newer_product=$(msiinfo export "$out/newer/qel-upgrade.msi" Property |
  sed -n 's/^ProductCode\t//p' | tr -d '\r')
check "the newer package has a product code of its own" \
  test -n "$product" -a -n "$newer_product" -a "$product" != "$newer_product"

# What build-msi.sh refuses, each with a message and no package.
refused() {  # refused WHY-PATTERN COMMAND...: exit 1, the message, no package
  local why=$1 code
  shift
  rm -f "$out/refused.msi"
  "$@" "$out/refused.msi" >"$logs/refused.log" 2>&1
  code=$?
  [ "$code" = 1 ] && grep -q "$why" "$logs/refused.log" && [ ! -e "$out/refused.msi" ] ||
    { echo "       exit code $code: $(cat "$logs/refused.log")"; return 1; }
}
check "a --version the programs do not carry is refused" \
  refused "but the programs in .* are $version" scripts/build-msi.sh --build "$build" --version "$newer"
cp "$signer/key.pem" "$signer/open-key.pem"
chmod 644 "$signer/open-key.pem"
check "a key others may read is refused" \
  refused "is open to others" signed_build "$signer/open-key.pem" -- --build "$build"
intree=$(mktemp "$root/.msi-test-key.XXXXXX")
cp "$signer/key.pem" "$intree"
check "a key in the checkout, where git would take it, is refused" \
  refused "lies in the checkout" signed_build "$intree" -- --build "$build"
rm -f "$intree" "$signer/open-key.pem"

# ---- the package's contents, read back -------------------------------------

extracted=$out/extracted
msiextract -C "$extracted" "$out/newer/qel-upgrade.msi" >/dev/null 2>"$logs/msiextract.log" ||
  { cat "$logs/msiextract.log"; exit 1; }
msiextract -C "$out/extracted-older" "$out/qel-upgrade.msi" >/dev/null 2>>"$logs/msiextract.log" ||
  { cat "$logs/msiextract.log"; exit 1; }
packaged="$extracted/QEL Upgrade"
verified() {  # verified FILE: an Authenticode signature by the throwaway signer
  osslsigncode verify -CAfile "$signer/cert.pem" -in "$1" >"$logs/verify.txt" 2>&1 &&
    grep -q 'Subject: /CN=QEL Upgrade throwaway test signer' "$logs/verify.txt" ||
    { sed 's/^/       /' "$logs/verify.txt" | tail -5; return 1; }
}
# The same program as built, with a signature added: the same bytes but the
# checksum and the certificate table's entry, then zeros to the signature,
# which ends the file.
signed_copy_of() {  # signed_copy_of SIGNED BUILT
  /usr/bin/python3 - "$1" "$2" <<'EOF2'
import struct
import sys
signed, built = (open(f, "rb").read() for f in sys.argv[1:3])
optional = struct.unpack_from("<I", built, 0x3C)[0] + 24
checksum, table = optional + 64, optional + 112 + 4 * 8  # PE32+
at, size = struct.unpack_from("<II", signed, table)
n = len(built)
sys.exit(0 if signed[:checksum] == built[:checksum]
         and signed[checksum + 4:table] == built[checksum + 4:table]
         and signed[table + 8:n] == built[table + 8:]
         and n <= at and signed[n:at].strip(b"\0") == b"" and at + size == len(signed)
         else 1)
EOF2
}
check "the package is signed" verified "$out/qel-upgrade.msi"
check "... and the newer one" verified "$out/newer/qel-upgrade.msi"
for p in qel-upgrade.exe qel-upgrade-cli.exe qel-upgrade.com; do
  check "$p in the package is signed" verified "$packaged/$p"
  check "... and is the built program" signed_copy_of "$packaged/$p" "$newer_build/$p"
done
# Each program's own version resource: the names Task Manager, Explorer and
# allow-lists show, and the package's version.
resource_is() {  # resource_is FILE KEY VALUE
  local strings
  strings=$(pe_version --strings "$1") && grep -qxF "$2=$3" <<<"$strings" ||
    { echo "       $(basename "$1"): $(grep "^$2=" <<<"$strings")"; return 1; }
}
for p in qel-upgrade qel-upgrade-cli; do
  check "$p.exe's version resource names it" \
    eval 'resource_is "$packaged/$p.exe" OriginalFilename $p.exe && resource_is "$packaged/$p.exe" InternalName $p'
  check "... and says $newer" eval 'resource_is "$packaged/$p.exe" FileVersion $newer &&
    test "$(pe_version "$packaged/$p.exe")" = "$newer.0"'
done
check "the two programs' descriptions differ" test \
  "$(pe_version --strings "$packaged/qel-upgrade.exe" | grep '^FileDescription=')" != \
  "$(pe_version --strings "$packaged/qel-upgrade-cli.exe" | grep '^FileDescription=')"
# The usage text, as Notepad reads it: README.md's Windows section.
readme_is_windows_text() {
  local f="$packaged/README.txt"
  [ "$(head -c 3 "$f" | od -An -tx1 | tr -d ' ')" = efbbbf ] &&
    ! tr -d '\r' <"$f" | cmp -s - "$f" && [ "$(grep -c $'\r$' "$f")" = "$(wc -l <"$f")" ] &&
    head -1 "$f" | grep -q "QEL Upgrade $newer for Windows" &&
    grep -q '^msiexec /i qel-upgrade.msi /qn' <(sed 's/^ *//' "$f") &&
    grep -q '^ *qel-upgrade scan ' "$f" && ! grep -q 'osslsigncode\|build-msi' "$f"
}
check "README.txt is the Windows section, CRLF, with the UTF-8 mark" readme_is_windows_text

# The firewall's custom actions: the rule from the local subnet alone, a
# rollback step before each deferred one, undoing it.
msiinfo export "$out/qel-upgrade.msi" CustomAction | tr -d '\r' >"$logs/CustomAction.idt"
msiinfo export "$out/qel-upgrade.msi" InstallExecuteSequence | tr -d '\r' >"$logs/InstallExecuteSequence.idt"
action_field() { awk -F'\t' -v a="$1" -v n="$2" '$1 == a { print $n }' "$logs/CustomAction.idt"; }
sequence_of() { awk -F'\t' -v a="$1" '$1 == a { print $3 }' "$logs/InstallExecuteSequence.idt"; }
condition_of() { awk -F'\t' -v a="$1" '$1 == a { print $2 }' "$logs/InstallExecuteSequence.idt"; }
# deferred: in-script (0x400), not rollback (0x100); rollback: both.
kind_of() {
  local t
  t=$(action_field "$1" 2)
  [ -n "$t" ] || { echo none; return; }
  case $((t & 0x500)) in 1024) echo deferred ;; 1280) echo rollback ;; 0) echo immediate ;; *) echo other ;; esac
}
rule='advfirewall firewall add rule name="QEL Upgrade TFTP" dir=in action=allow protocol=UDP localport=69-168 remoteip=localsubnet'
delete='advfirewall firewall delete rule name="QEL Upgrade TFTP"'
add_wizard="$rule program=\"[INSTALLDIR]qel-upgrade.exe\" enable=yes"
add_console="$rule program=\"[INSTALLDIR]qel-upgrade-cli.exe\" enable=yes"
add_com="$rule program=\"[INSTALLDIR]qel-upgrade.com\" enable=yes"
firewall_rows_are() {  # ACTION KIND CONDITION COMMAND, one row each
  local a k c cmd bad=0
  while IFS='|' read -r a k c cmd; do
    [ "$(kind_of "$a")" = "$k" ] && [ "$(condition_of "$a")" = "$c" ] &&
      [ "$(action_field "$a" 4)" = "$cmd" ] ||
      { echo "       $a: $(kind_of "$a"), \"$(condition_of "$a")\", $(action_field "$a" 4)"; bad=1; }
  done
  return $bad
}
check "the rule's rows: local subnet, deferred, each undone by a rollback row" firewall_rows_are <<EOF
FirewallAddWizard|deferred|NOT Installed|$add_wizard
FirewallAddConsole|deferred|NOT Installed|$add_console
FirewallAddConsoleCom|deferred|NOT Installed|$add_com
FirewallAddRollback|rollback|NOT Installed|$delete
FirewallDelete|deferred|REMOVE="ALL"|$delete
FirewallDeleteRollbackWizard|rollback|REMOVE="ALL"|$add_wizard
FirewallDeleteRollbackConsole|rollback|REMOVE="ALL"|$add_console
FirewallDeleteRollbackConsoleCom|rollback|REMOVE="ALL"|$add_com
EOF
check "... each rollback row sequenced before what it undoes" test \
  "$(sequence_of FirewallAddRollback)" -lt "$(sequence_of FirewallAddWizard)" -a \
  "$(sequence_of FirewallAddWizard)" -lt "$(sequence_of FirewallAddConsole)" -a \
  "$(sequence_of FirewallDeleteRollbackWizard)" -lt "$(sequence_of FirewallDelete)" -a \
  "$(sequence_of FirewallAddConsole)" -lt "$(sequence_of FirewallAddConsoleCom)" -a \
  "$(sequence_of FirewallDeleteRollbackConsole)" -lt "$(sequence_of FirewallDelete)" -a \
  "$(sequence_of FirewallDeleteRollbackConsoleCom)" -lt "$(sequence_of FirewallDelete)"
# README.md gives the same commands for by hand.
installdir='C:\Program Files\QEL Upgrade\'
at_installdir() {  # the command as the installer runs it
  local c
  for c in "$@"; do
    case $c in
      *'[INSTALLDIR]'*) printf '%s\n' "${c%%\[INSTALLDIR\]*}$installdir${c#*\[INSTALLDIR\]}" ;;
      *) printf '%s\n' "$c" ;;
    esac
  done
}
readme_netsh() { sed -n 's/^netsh //p' README.md | tr -d '\r' | sort -u; }
check "README's by-hand commands are the package's" \
  test "$(readme_netsh)" = "$(at_installdir "$add_wizard" "$add_console" "$add_com" | sort)"
check "... and its delete command too" grep -qF "\`netsh $delete\`" README.md

# ---- under Wine -------------------------------------------------------------

wine_env --console
# No menu entries written into this machine's desktop (the shortcut stays
# inside the prefix).
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"
export XDG_DATA_HOME=$work/msi-xdg XDG_CONFIG_HOME=$work/msi-xdg
wine_template "$work" "$logs/wineboot.log" || exit 1
export WINEPREFIX=$work/prefix-msi
wine_prefix_fresh "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; rm -rf "$WINEPREFIX"' EXIT
# One wineserver for every step.
wine_server_here
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
programs=(qel-upgrade.exe qel-upgrade-cli.exe qel-upgrade.com)

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
netsh_calls_are() {  # netsh_calls_are LOG COMMAND...: exactly these, in order
  local log=$1
  shift
  [ "$(netsh_calls "$log")" = "$(at_installdir "$@")" ] ||
    { netsh_calls "$log" | sed 's/^/       ran: /'; return 1; }
}
# Wine's icacls is a stub too: the command lines the package hands to it.
icacls_calls_are() {  # icacls_calls_are LOG COMMAND...: exactly these, in order
  local log=$1 ran
  shift
  ran=$(grep -a 'CreateProcessInternalW app L"C:\\\\windows\\\\system32\\\\icacls.exe"' "$logs/$log.processes" |
    sed 's/.* cmdline L"C:\\\\windows\\\\system32\\\\icacls.exe //; s/"$//; s/\\"/"/g; s/\\\\/\\/g')
  [ "$ran" = "$(printf '%s\n' "$@")" ] || { printf '%s\n' "$ran" | sed 's/^/       ran: /'; return 1; }
}
reg_value() {  # reg_value KEY NAME: the value's data, empty when absent
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
has_key() { wine reg query "$1" >/dev/null 2>&1; }
lacks_key() { ! has_key "$1"; }
system_path() { reg_value "$environment" PATH; }
path_entries() {  # how many times the program folder is on the system PATH
  system_path | tr ';' '\n' | grep -cix 'C:\\Program Files\\QEL Upgrade\\\?'
}
# Wine's command prompt stops its search at an empty element.
path_has_no_empty_element() {
  local p
  p=$(system_path)
  case ";$p;" in *";;"*) echo "       PATH=$p"; return 1 ;; esac
}
path_is_as_before() {
  [ "$(system_path)" = "$original_path" ] || { echo "       PATH=$(system_path)"; return 1; }
}
same_files() {  # same_files EXTRACTED: the package's files, installed
  local p
  for p in "${programs[@]}" README.txt; do cmp -s "$1/$p" "$folder/$p" || return 1; done
  cmp -s "$root/debian/copyright" "$folder/copyright.txt"
}
shortcut_names_wizard() {
  local lnk="$menu/QEL Upgrade/QEL Firmware Upgrade.lnk"
  [ -f "$lnk" ] || return 1
  # The target is stored as ANSI and as UTF-16 text.
  grep -aq 'QEL Upgrade\\qel-upgrade.exe' "$lnk" ||
    iconv -f UTF-16LE -t UTF-8 "$lnk" 2>/dev/null | grep -aq 'QEL Upgrade\\qel-upgrade.exe'
}
# The console program by name alone, as a command prompt finds it (PATH; the
# current folder holds no program), and by its folder.
console_by_path() {  # console_by_path VERSION: its --version, and its --help
  wine cmd /c qel-upgrade-cli.exe --version >"$logs/cli-version-by-path.txt" 2>&1 &&
    grep -qx "qel-upgrade-cli $1" <(tr -d '\r' <"$logs/cli-version-by-path.txt") &&
    wine cmd /c qel-upgrade --version >"$logs/com-version-by-path.txt" 2>&1 &&
    grep -qx "qel-upgrade $1" <(tr -d '\r' <"$logs/com-version-by-path.txt") &&
    wine cmd /c qel-upgrade-cli --help >"$logs/cli-help-by-path.txt" 2>&1 &&
    grep -q scan "$logs/cli-help-by-path.txt" ||
    { echo "       said: $(head -c 200 "$logs/cli-version-by-path.txt")"; return 1; }
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
# What a removal must leave behind: nothing, and the PATH as it was.
nothing_left() {
  local left=()
  [ -e "$folder" ] && left+=("$folder")
  [ -e "$menu/QEL Upgrade" ] && left+=("$menu/QEL Upgrade")
  [ -e "$drive/ProgramData/QEL Upgrade" ] && left+=("$drive/ProgramData/QEL Upgrade")
  has_key 'HKLM\Software\QEL Upgrade' && left+=('HKLM\Software\QEL Upgrade')
  has_key "$uninstall\\$product" && left+=("$uninstall\\$product")
  has_key "$uninstall\\$newer_product" && left+=("$uninstall\\$newer_product")
  [ "$(system_path)" = "$original_path" ] || left+=("PATH=$(system_path)")
  [ ${#left[@]} -eq 0 ] || { printf '       left: %s\n' "${left[@]}"; return 1; }
}
path_checks() {  # path_checks VERSION: the PATH entry and the lookup by name
  check "the program folder is on the system PATH once" test "$(path_entries)" = 1
  check "... with no empty element" path_has_no_empty_element
  check "cmd finds the console program by name: $1" console_by_path "$1"
}

original_path=$(system_path)
t0=$SECONDS
echo "msi_test: install $version"
check "msiexec /i exits 0" exit_is 0 msiexec install /i "$out/qel-upgrade.msi"
check "the programs, README.txt and the copyright notice are installed as packaged" \
  same_files "$out/extracted-older/QEL Upgrade"
check "the Start menu shortcut starts the wizard" shortcut_names_wizard
path_checks "$version"
check "the firewall rule is asked for for both programs" \
  netsh_calls_are install "$add_wizard" "$add_console" "$add_com"
check "the device locks' folder is made" test -d "$drive/ProgramData/QEL Upgrade/devices"
check "... and given to SYSTEM and Administrators alone" icacls_calls_are install \
  '"C:\ProgramData\QEL Upgrade\devices\\" /setowner *S-1-5-32-544' \
  '"C:\ProgramData\QEL Upgrade\devices\\" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F'
check "the console program runs from its folder" console_help_direct
check "... and says its version, $version" console_version "$version"
check "Programs and Features shows $version" test "$(reg_value "$uninstall\\$product" DisplayVersion)" = "$version"
check "... with the copyright notice" \
  test "$(reg_value "$uninstall\\$product" Comments)" = "Copyright 2026 qel-upgrade maintainers. All rights reserved."
check "... and the folder" test "$(reg_value "$uninstall\\$product" InstallLocation)" = "$installdir"

echo "msi_test: upgrade to $newer"
check "msiexec /i of the newer package exits 0" exit_is 0 msiexec upgrade /i "$out/newer/qel-upgrade.msi"
check "the older product is gone" lacks_key "$uninstall\\$product"
# The old package's removal deletes the rule: the new one must add it after.
check "the rule is deleted, then asked for again for both programs" \
  netsh_calls_are upgrade "$delete" "$add_wizard" "$add_console" "$add_com"
check "the newer product is installed" test "$(reg_value "$uninstall\\$newer_product" DisplayVersion)" = "$newer"
check "the newer programs are installed" same_files "$packaged"
path_checks "$newer"

echo "msi_test: downgrade to $version"
# 1603 (fatal error), as the shell sees it.
check "msiexec /i of the older package is refused" exit_is 67 msiexec downgrade /i "$out/qel-upgrade.msi"
check "the newer product stays" test "$(reg_value "$uninstall\\$newer_product" DisplayVersion)" = "$newer"
path_checks "$newer"

echo "msi_test: remove"
check "msiexec /x exits 0" exit_is 0 msiexec remove /x "$out/newer/qel-upgrade.msi"
check "the firewall rule is deleted" netsh_calls_are remove "$delete"
check "no file, folder, shortcut or registry key is left; the PATH is as before" nothing_left

echo "msi_test: install $newer again"
check "msiexec /i exits 0" exit_is 0 msiexec reinstall /i "$out/newer/qel-upgrade.msi"
path_checks "$newer"
check "msiexec /x exits 0" exit_is 0 msiexec remove-again /x "$out/newer/qel-upgrade.msi"
check "nothing is left; the PATH is as before" nothing_left

# A failing install, with the rule asked for already: a deferred step after
# the firewall's fails (the newer package with one row more, unsigned).
echo "msi_test: a failing install rolls back"
cp "$out/newer/qel-upgrade.msi" "$out/failing.msi"
msibuild "$out/failing.msi" \
  -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('TestFails', 3106, 'INSTALLDIR', '[System64Folder]cmd.exe /c exit 3')" \
  -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('TestFails', 'NOT Installed', 6200)" ||
  { echo "msi_test: cannot make the failing package"; exit 1; }
# Windows says 1603; Wine 8 says 1627 (function failed), 91 as the shell sees it.
check "msiexec /i of the failing package fails" eval '! msiexec failing /i "$out/failing.msi"'
check "the rule was asked for, then deleted again" \
  netsh_calls_are failing "$add_wizard" "$add_console" "$add_com" "$delete"
check "the product is not installed; the PATH is as before" nothing_left
echo "msi_test: Wine steps in $((SECONDS - t0)) s"
checks_passed
