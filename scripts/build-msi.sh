#!/usr/bin/env bash
# Builds the Windows package from the cross build's programs:
#   scripts/build-msi.sh [--build DIR] [--version X.Y.Z] OUTPUT.msi
# DIR: the cross build (default QEL_WIN32_BUILD, else build/win32). The
# version is the programs' own (their version resources); --version only
# confirms it, and a different one is refused. What goes in is
# packaging/windows/qel-upgrade.wxs, with README.txt written from README.md's
# Windows section; wixl cannot write the PATH entry, so it is added
# afterwards with msibuild.
#
# Signing (Authenticode, with osslsigncode): the programs are signed before
# they go into the package, then the package. The certificate and key come
# from the environment, never from the tree:
#   QEL_SIGN_CERT=cert.pem QEL_SIGN_KEY=key.pem   (PEM; the key may be encrypted)
#   QEL_SIGN_PKCS12=signer.p12                    (instead of the two)
#   QEL_SIGN_PASS_FILE=FILE                       the key's passphrase, if any
# The key, the PKCS#12 file and the passphrase file must be the user's and
# closed to everyone else (mode 600 or 400), and not lie in the checkout
# unless git ignores them. Without QEL_SIGN_* the package is built unsigned
# and says so.
#
# The same inputs give the same bytes: fixed clock and signing time (the
# newest debian/changelog entry's date), file times, product and package
# codes derived from the version and the contents (the signer's
# certificate included).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${QEL_WIN32_BUILD:-$root/build/win32}
version="" out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    -*) echo "build-msi: unknown option $1" >&2; exit 2 ;;
    *) out=$1; shift ;;
  esac
done
[ -n "$out" ] || { echo "usage: $0 [--build DIR] [--version X.Y.Z] OUTPUT.msi" >&2; exit 2; }
build=$(realpath "$build")
out=$(realpath -m "$out")
wxs=$root/packaging/windows/qel-upgrade.wxs

for tool in wixl msibuild msiinfo faketime sha256sum /usr/bin/python3; do
  command -v "$tool" >/dev/null ||
    { echo "build-msi: $tool is missing (scripts/install-deps.sh win32)" >&2; exit 1; }
done

# Every file the package names must be there: a program missing from the
# build is an error, never a smaller package. TextDir's files are written
# here.
mapfile -t sources < <(grep -o 'Source\(File\)\?="[^"]*"' "$wxs" | sed 's/^[^"]*"//; s/"$//' | sort -u)
missing=()
for s in "${sources[@]}"; do
  case $s in '$(var.TextDir)'/*) continue ;; esac
  f=${s//\$(var.BuildDir)/$build}
  f=${f//\$(var.SourceDir)/$root}
  [ -f "$f" ] || missing+=("$f")
done
if [ ${#missing[@]} -gt 0 ]; then
  printf 'build-msi: the package needs files the build lacks:\n' >&2
  printf '  %s\n' "${missing[@]}" >&2
  exit 1
fi

# The package's version is the one both programs carry: a label that the
# programs contradict would mislead every inventory that reads either.
programs_version=""
for exe in qel-upgrade.exe qel-upgrade-cli.exe; do
  v=$(/usr/bin/python3 "$root/packaging/windows/pe-version.py" "$build/$exe") || exit 1
  [[ $v =~ ^([0-9]+\.[0-9]+\.[0-9]+)\.0$ ]] ||
    { echo "build-msi: $exe has version $v, not X.Y.Z.0" >&2; exit 1; }
  v=${BASH_REMATCH[1]}
  [ -z "$programs_version" ] || [ "$v" = "$programs_version" ] ||
    { echo "build-msi: qel-upgrade.exe is $programs_version but $exe is $v" >&2; exit 1; }
  programs_version=$v
done
if [ -n "$version" ] && [ "$version" != "$programs_version" ]; then
  echo "build-msi: --version $version, but the programs in $build are $programs_version" >&2
  exit 1
fi
version=$programs_version

# The signer, when given. A private file must be the user's alone and out of
# what a commit or a source package would take.
private_file() {  # private_file WHAT FILE
  local what=$1 f=$2 p
  [ -f "$f" ] || { echo "build-msi: $what $f is not a file" >&2; return 1; }
  [ -O "$f" ] || { echo "build-msi: $what $f is not yours" >&2; return 1; }
  if [ $((8#$(stat -L -c %a "$f") & 8#077)) -ne 0 ]; then
    echo "build-msi: $what $f is open to others (chmod 600 it)" >&2
    return 1
  fi
  p=$(realpath "$f")
  case $p in
    "$root"/*)
      git -C "$root" check-ignore -q --no-index "$p" 2>/dev/null ||
        { echo "build-msi: $what $f lies in the checkout, where git would take it" >&2; return 1; }
      ;;
  esac
}
sign=() signer="" cert=""
if [ -n "${QEL_SIGN_PKCS12:-}" ]; then
  private_file "the PKCS#12 file" "$QEL_SIGN_PKCS12" || exit 1
  sign=(-pkcs12 "$QEL_SIGN_PKCS12")
elif [ -n "${QEL_SIGN_CERT:-}${QEL_SIGN_KEY:-}" ]; then
  [ -n "${QEL_SIGN_CERT:-}" ] && [ -n "${QEL_SIGN_KEY:-}" ] ||
    { echo "build-msi: QEL_SIGN_CERT and QEL_SIGN_KEY go together" >&2; exit 1; }
  [ -f "$QEL_SIGN_CERT" ] || { echo "build-msi: the certificate $QEL_SIGN_CERT is not a file" >&2; exit 1; }
  private_file "the key" "$QEL_SIGN_KEY" || exit 1
  sign=(-certs "$QEL_SIGN_CERT" -key "$QEL_SIGN_KEY")
  cert=$QEL_SIGN_CERT
fi
if [ ${#sign[@]} -gt 0 ]; then
  for tool in osslsigncode openssl; do
    command -v "$tool" >/dev/null ||
      { echo "build-msi: $tool is missing (scripts/install-deps.sh win32)" >&2; exit 1; }
  done
  if [ -n "${QEL_SIGN_PASS_FILE:-}" ]; then
    private_file "the passphrase file" "$QEL_SIGN_PASS_FILE" || exit 1
    sign+=(-readpass "$QEL_SIGN_PASS_FILE")
  fi
  # The certificate's fingerprint names the signer in the package code; a
  # PKCS#12 file is named by its bytes' hash (it cannot be opened without
  # its passphrase here).
  if [ -n "$cert" ]; then
    signer=$(openssl x509 -in "$cert" -noout -fingerprint -sha256 | sed 's/.*=//') ||
      { echo "build-msi: $cert is not a PEM certificate" >&2; exit 1; }
  else
    signer=$(sha256sum <"$QEL_SIGN_PKCS12" | cut -c1-64)
  fi
fi

# A GUID from a SHA-1 of the text (name-based, version 5 form).
guid_of() {
  local h
  h=$(printf '%s' "$1" | sha1sum | cut -c1-32)
  h=${h:0:12}5${h:13:3}$(printf '%x' $(((0x${h:16:1} & 3) | 8)))${h:17:15}
  printf '%s-%s-%s-%s-%s' "${h:0:8}" "${h:8:4}" "${h:12:4}" "${h:16:4}" "${h:20:12}" | tr a-f A-F
}

mkdir -p "${out%/*}"
stage=$(mktemp -d "${out%/*}/.msi-stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
# wixl takes relative paths only; the copies get one fixed time, which the
# cabinet records, and it is the signatures' time too.
release=$(sed -n 's/^ -- .*>  //p' debian/changelog | head -n 1)
epoch=$(date -u -d "$release" +%s)
stamp=$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')

signed() {  # signed IN OUT: Authenticode-signs IN into OUT
  osslsigncode sign "${sign[@]}" -h sha256 -n "QEL Upgrade" -time "$epoch" \
    -in "$1" -out "$2" >>"$stage/sign.log" 2>&1 || {
    sed 's/^/  /' "$stage/sign.log" >&2
    echo "build-msi: osslsigncode could not sign $(basename "$1")" >&2
    return 1
  }
}

# README.txt: README.md's Windows section for the people who install the
# package (its "Building" part left out), as plain text with the line ends
# and the UTF-8 mark that every Notepad reads.
mkdir -p "$stage/text"
printf '\357\273\277' >"$stage/text/README.txt"
awk -v title="QEL Upgrade $version for Windows" '
  !on && $0 == "## Windows" {
    on = 1; line = title; gsub(/./, "=", line); print title; print line; next
  }
  !on { next }
  /^```/ { fence = !fence; next }
  fence { print "    " $0; next }
  /^## / || /^### Building/ { exit }
  /^### / { t = substr($0, 5); line = t; gsub(/./, "-", line); print t; print line; next }
  { gsub(/`/, ""); gsub(/\*\*/, ""); print }
' README.md | sed 's/$/\r/' >>"$stage/text/README.txt"
grep -q 'msiexec' "$stage/text/README.txt" ||
  { echo "build-msi: README.md has no Windows section to install" >&2; exit 1; }

content="signer $signer "
for s in "${sources[@]}"; do
  rel=${s//\$(var.BuildDir)/build}
  rel=${rel//\$(var.SourceDir)/source}
  rel=${rel//\$(var.TextDir)/text}
  f=${s//\$(var.BuildDir)/$build}
  f=${f//\$(var.SourceDir)/$root}
  f=${f//\$(var.TextDir)/$stage/text}
  if [ "$f" != "$stage/$rel" ]; then
    mkdir -p "$stage/${rel%/*}"
    if [ ${#sign[@]} -gt 0 ] && [[ $rel == *.exe || $rel == *.com ]]; then
      signed "$f" "$stage/$rel" || exit 1
    else
      cp "$f" "$stage/$rel"
    fi
  fi
  touch -d "@$epoch" "$stage/$rel"
  content+="$rel $(sha256sum <"$f" | cut -c1-64) "
done
cp "$root/packaging/windows/Environment.idt" "$stage/"
content+="$(cat "$wxs" "$stage/Environment.idt" | sha256sum | cut -c1-64)"

# One product code per version: a newer package is a major upgrade. The
# package code names these exact contents.
product_code=$(guid_of "qel-upgrade product $version")
package_code=$(guid_of "qel-upgrade package $version $content")

export TZ=UTC
(
  cd "$stage"
  faketime "$stamp" wixl -a x64 -D BuildDir=build -D SourceDir=source -D TextDir=text \
    -D Version="$version" -D ProductCode="$product_code" -o package.msi "$wxs"
  # wixl drops Execute="rollback" and writes such an action as an immediate
  # one, which would run at once, in every install or removal: each gets
  # its in-script (0x400) and rollback (0x100) bits back here.
  rollback=()
  for action in $(grep -o '<CustomAction Id="[^"]*"[^>]*Execute="rollback"' "$wxs" | cut -d'"' -f2); do
    type=$(msiinfo export package.msi CustomAction | awk -F'\t' -v a="$action" '$1 == a { print $2 }')
    [[ $type =~ ^[0-9]+$ ]] || { echo "build-msi: no custom action $action" >&2; exit 1; }
    rollback+=(-q "UPDATE CustomAction SET Type = $((type | 0x500)) WHERE Action = '$action'")
  done
  [ ${#rollback[@]} -eq 0 ] || faketime "$stamp" msibuild package.msi "${rollback[@]}"
  # The console program's folder on the system PATH, written with the other
  # environment strings and removed at uninstall, at the standard places.
  # It goes first: a last element's removal leaves its separator behind
  # with some installers (Wine's), and the next append makes an empty
  # element, where a command prompt stops looking. The folder holds no name
  # a system command has.
  faketime "$stamp" msibuild package.msi -i Environment.idt \
    -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('RemoveEnvironmentStrings', 3300)" \
    -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('WriteEnvironmentStrings', 5200)"
  faketime "$stamp" msibuild package.msi -s "QEL Upgrade $version" "qel-upgrade maintainers" \
    "x64;1033" "{$package_code}"
) || { echo "build-msi: wixl or msibuild failed" >&2; exit 1; }
if [ ${#sign[@]} -gt 0 ]; then
  signed "$stage/package.msi" "$stage/signed.msi" || exit 1
  mv "$stage/signed.msi" "$stage/package.msi"
  signed_by=", signed"
  [ -z "$cert" ] || signed_by+=" by $(openssl x509 -in "$cert" -noout -subject | sed 's/^subject=//')"
else
  signed_by=", unsigned (no QEL_SIGN_CERT/QEL_SIGN_KEY or QEL_SIGN_PKCS12)"
fi
mv "$stage/package.msi" "$out"
echo "$out: QEL Upgrade $version, $(stat -c %s "$out") bytes, product {$product_code}$signed_by"
