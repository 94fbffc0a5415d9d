#!/usr/bin/env bash
# The Windows program, built on this Debian machine and checked under Wine:
#
#   1. its libraries, cross-built from Debian's source packages
#      (scripts/windows-deps.sh: once, then taken from the cache);
#   2. the windows preset: the program, samplelab, every test and the test
#      stand-ins, with warnings as errors;
#   3. a fresh Wine prefix in the build folder, headless, with Liberation
#      Sans in its Fonts folder under Arial's file names;
#   4. ctest --preset windows: every unit and end-to-end test under Wine
#      (the tests of tests/*/posix/ are Linux-only and not built here);
#   5. scripts/windows-compare.sh: the sample laboratory through the Linux
#      and the Windows program, their outputs compared;
#   6. scripts/crash-check.sh against the Windows program: kill -9 at random
#      moments, nothing lost, made twice or torn;
#   7. scripts/windows-service-check.sh: the program as a Windows service
#      (install, start, pause, continue, stop, a refused start, uninstall);
#   8. scripts/windows-msi-check.sh: the Windows package (MSI) under Wine's
#      Windows Installer (install, a laboratory, an upgrade while the service
#      runs, removal).
#
#   scripts/windows-check.sh
#
# Needs the packages of scripts/setup-deps.sh and the default preset's
# program and samplelab (built here if missing). The wineserver is started
# first, with its output to a file: Wine's processes inherit the output of
# whatever command starts it, and a reader of that output (ctest) would wait
# for them. It is ended on every exit.
set -euo pipefail
cd "$(dirname "$0")/.."

step_start=$SECONDS
step() {
  printf -- '--- windows-check: %s (%ds so far)\n' "$*" $((SECONDS - step_start))
}

step "libraries (scripts/windows-deps.sh)"
VELMAR_WINDOWS_DEPS=$(scripts/windows-deps.sh | tail -n 1)
export VELMAR_WINDOWS_DEPS

step "build, windows preset"
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --build --preset default --target VelmarImageService samplelab >/dev/null

step "Wine prefix"
BUILD="$PWD/build/windows"
export WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true' EXIT
wineserver -p >"$BUILD/wineserver.log" 2>&1
wine wineboot -i </dev/null >>"$BUILD/wineserver.log" 2>&1
# A new prefix's first boot leaves two service managers running, and a
# service registered through one is unknown to the other (sc answers 1060):
# a server started afresh has one.
wineserver -k
wineserver -p >>"$BUILD/wineserver.log" 2>&1
wine cmd /c echo "Wine ready" </dev/null
# The pictures are drawn with the font Linux's fontconfig answers for Arial.
fonts="$WINEPREFIX/drive_c/windows/Fonts"
mkdir -p "$fonts"
liberation=/usr/share/fonts/truetype/liberation2
cp "$liberation/LiberationSans-Regular.ttf" "$fonts/arial.ttf"
cp "$liberation/LiberationSans-Bold.ttf" "$fonts/arialbd.ttf"
cp "$liberation/LiberationSans-Italic.ttf" "$fonts/ariali.ttf"
cp "$liberation/LiberationSans-BoldItalic.ttf" "$fonts/arialbi.ttf"

step "tests under Wine (ctest --preset windows)"
ctest --preset windows </dev/null

step "the sample laboratory, Linux and Windows outputs compared"
scripts/windows-compare.sh build/default "$BUILD" </dev/null

step "kill -9 crash consistency, the Windows program"
VELMAR_BUILD_DIR=build/default VELMAR_WINDOWS_BUILD="$BUILD" scripts/crash-check.sh </dev/null

step "the Windows service under Wine's service manager"
scripts/windows-service-check.sh build/default "$BUILD" </dev/null

step "the Windows package under Wine's Windows Installer"
scripts/windows-msi-check.sh build/default "$BUILD" </dev/null

step "passed"
