#!/usr/bin/env bash
# Builds the Windows package from the cross build's programs:
#   scripts/build-msi.sh [--build DIR] [--version X.Y.Z] OUTPUT.msi
# DIR: the cross build (default QEL_WIN32_BUILD, else build/win32); the
# version is the build's project version unless given. What goes in is
# packaging/windows/qel-upgrade.wxs; wixl cannot write the PATH entry, so it
# is added afterwards with msibuild. The same inputs give the same bytes:
# fixed clock (the newest debian/changelog entry's date), file times, product
# and package codes derived from the version and the contents.
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

for tool in wixl msibuild faketime sha256sum; do
  command -v "$tool" >/dev/null ||
    { echo "build-msi: $tool is missing (scripts/install-deps.sh win32)" >&2; exit 1; }
done
if [ -z "$version" ]; then
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt" 2>/dev/null)
  [ -n "$version" ] || { echo "build-msi: $build is not a configured build" >&2; exit 1; }
fi
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] ||
  { echo "build-msi: version '$version' is not X.Y.Z" >&2; exit 1; }

# Every file the package names must be there: a program missing from the
# build is an error, never a smaller package.
mapfile -t sources < <(grep -o 'Source\(File\)\?="[^"]*"' "$wxs" | sed 's/^[^"]*"//; s/"$//' | sort -u)
missing=()
for s in "${sources[@]}"; do
  f=${s//\$(var.BuildDir)/$build}
  f=${f//\$(var.SourceDir)/$root}
  [ -f "$f" ] || missing+=("$f")
done
if [ ${#missing[@]} -gt 0 ]; then
  printf 'build-msi: the package needs files the build lacks:\n' >&2
  printf '  %s\n' "${missing[@]}" >&2
  exit 1
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
# cabinet records.
release=$(sed -n 's/^ -- .*>  //p' debian/changelog | head -n 1)
epoch=$(date -u -d "$release" +%s)
stamp=$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
content=""
for s in "${sources[@]}"; do
  rel=${s//\$(var.BuildDir)/build}
  rel=${rel//\$(var.SourceDir)/source}
  f=${s//\$(var.BuildDir)/$build}
  f=${f//\$(var.SourceDir)/$root}
  mkdir -p "$stage/${rel%/*}"
  cp "$f" "$stage/$rel"
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
  faketime "$stamp" wixl -a x64 -D BuildDir=build -D SourceDir=source -D Version="$version" \
    -D ProductCode="$product_code" -o package.msi "$wxs"
  # The console program's folder on the system PATH, written with the other
  # environment strings and removed at uninstall, at the standard places.
  faketime "$stamp" msibuild package.msi -i Environment.idt \
    -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('RemoveEnvironmentStrings', 3300)" \
    -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('WriteEnvironmentStrings', 5200)"
  faketime "$stamp" msibuild package.msi -s "QEL Upgrade $version" "qel-upgrade maintainers" \
    "x64;1033" "{$package_code}"
) || { echo "build-msi: wixl or msibuild failed" >&2; exit 1; }
mkdir -p "${out%/*}"
mv "$stage/package.msi" "$out"
echo "$out: QEL Upgrade $version, $(stat -c %s "$out") bytes, product {$product_code}"
