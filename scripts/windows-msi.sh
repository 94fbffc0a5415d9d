#!/usr/bin/env bash
# Builds the Windows package (MSI) from a Windows build folder with wixl:
# the executable (stripped of its debug information), libzbar-0.dll and the
# two example files, into OUTPUT_FOLDER/VelmarImageService-VERSION.msi.
#
#   scripts/windows-msi.sh WINDOWS_BUILD OUTPUT_FOLDER [VERSION]
#
# VERSION defaults to the project's (CMakeLists.txt); the check builds a
# later one too, to upgrade to.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(cd "$1" && pwd)
OUT=$2
VERSION=${3:-$(sed -n 's/^project(VelmarImageService VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)}
[ -n "$VERSION" ] || { echo "windows-msi: no version" >&2; exit 1; }

STAGING=$(mktemp -d "${TMPDIR:-/tmp}/windows-msi-XXXXXX")
trap 'rm -rf "$STAGING"' EXIT
x86_64-w64-mingw32-strip -o "$STAGING/VelmarImageService.exe" "$BUILD/VelmarImageService.exe"
cp "$BUILD/libzbar-0.dll" packaging/config.ini.example packaging/QC_Target_qual.csv.example \
  "$STAGING/"
cp packaging/windows/VelmarImageService.wxs "$STAGING/"
mkdir -p "$OUT"
MSI="$(cd "$OUT" && pwd)/VelmarImageService-$VERSION.msi"
# wixl finds the files named by the package beside its description.
if ! (cd "$STAGING" && wixl -a x64 -D Version="$VERSION" -o "$MSI" VelmarImageService.wxs \
  2>"$STAGING/wixl.log"); then
  cat "$STAGING/wixl.log" >&2
  exit 1
fi
[ -s "$MSI" ] || { echo "windows-msi: wixl made no package" >&2; exit 1; }
echo "$MSI"
