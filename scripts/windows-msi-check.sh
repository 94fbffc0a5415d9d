#!/usr/bin/env bash
# The Windows package under Wine's Windows Installer:
#
#   1. msiexec /i, quiet: the service exists, the files are in Program
#      Files\Velmar, config.ini and the QC targets made from the examples,
#      the event source registered;
#   2. config.ini pointed at a sample laboratory (Z:\ paths): sc start,
#      RUNNING, every result file filed, -status 1;
#   3. msiexec /i of the same program at a later version while the service
#      runs: the program file replaced, the service started again,
#      config.ini byte-identical;
#   4. msiexec /x: service and program gone; config.ini, the logs and
#      log\done kept.
#
#   scripts/windows-msi-check.sh LINUX_BUILD WINDOWS_BUILD
#
# Runs under the Wine prefix of the environment (WINEPREFIX, a wineserver
# running). Every wait is bounded. Exit status 0 when everything holds.
#
# The helpers below run through check(), which shellcheck cannot follow.
# shellcheck disable=SC2317
set -euo pipefail
cd "$(dirname "$0")/.."
LINUX_BUILD=$(cd "$1" && pwd)
WINDOWS_BUILD=$(cd "$2" && pwd)
NAME=VelmarImageService

WORK=$(mktemp -d "${TMPDIR:-/tmp}/windows-msi-check-XXXXXX")
VERSION=$(sed -n 's/^project(VelmarImageService VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# Windows Installer compares the first three fields of a version.
NEXT=$(awk -F. '{ printf "%d.%d.%d.0", $1, $2, $3 + 1 }' <<<"$VERSION")
FIRST=$(scripts/windows-msi.sh "$WINDOWS_BUILD" "$WORK" "$VERSION")
SECOND=$(scripts/windows-msi.sh "$WINDOWS_BUILD" "$WORK" "$NEXT")
PROGRAM="$WINEPREFIX/drive_c/Program Files/Velmar"
LAB="$WORK/lab"
"$LINUX_BUILD/samplelab" "$LAB" >/dev/null

# check, state, wait_state, status_within and the failures count.
# shellcheck source=scripts/windows-check-lib.sh
. "$(dirname "$0")/windows-check-lib.sh"
# Each run of msiexec keeps its verbose log, and Wine's messages, in the work
# folder (MSI_WINEDEBUG=+msi,+service for Wine's traces).
msi_runs=0
msi() {
  msi_runs=$((msi_runs + 1))
  local log="$WORK/msiexec-$msi_runs"
  WINEDEBUG=${MSI_WINEDEBUG:-$WINEDEBUG} timeout 180 \
    wine msiexec "$@" /qn /l*v "$(winepath -w "$log.log")" </dev/null >/dev/null 2>"$log.err"
}
pending() { find "$LAB/instruments" -name '*.tra' | wc -l; }
registry_has() {
  wine reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' | grep -qF -- "$3"
}

echo "windows-msi-check: install ($(basename "$FIRST"), $(stat -c %s "$FIRST") bytes)"
check "msiexec /i" msi /i "$(winepath -w "$FIRST")"
# Started at once: the example config.ini names no folder of this machine,
# so the start fails and says so.
check "the service exists, its first start refused" wait_state STOPPED 30
check "config_error.flag raised" test -f "$PROGRAM/config_error.flag"
for file in VelmarImageService.exe libzbar-0.dll config.ini.example QC_Target_qual.csv.example \
  config.ini QC_Target_qual.csv; do
  check "Program Files\\Velmar\\$file" test -s "$PROGRAM/$file"
done
check "the event source" registry_has \
  'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\VelmarImageService' \
  EventMessageFile 'VelmarImageService.exe'

echo "windows-msi-check: the service on a sample laboratory"
sed "s|=$LAB|=Z:$LAB|" "$LAB/install/config.ini" >"$PROGRAM/config.ini"
cp "$LAB/install/QC_Target_qual.csv" "$PROGRAM/QC_Target_qual.csv"
cp "$PROGRAM/config.ini" "$WORK/config.ini.before"
wine sc start "$NAME" </dev/null >/dev/null 2>&1 || true
check "RUNNING" wait_state RUNNING 30
deadline=$((SECONDS + 120))
while [ "$(pending)" -gt 0 ] && [ $SECONDS -lt $deadline ]; do sleep 1; done
check "every result file filed" test "$(pending)" -eq 0
check "-status 1 after the laboratory's deliberate failures" status_within "$PROGRAM" 1 30

echo "windows-msi-check: upgrade to $NEXT while the service runs"
starts_before=$(grep -c "ServiceStart debut" "$PROGRAM/debug_start.txt" || true)
program_before=$(stat -c '%i %Z' "$PROGRAM/VelmarImageService.exe")
sleep 1
check "msiexec /i $(basename "$SECOND")" msi /i "$(winepath -w "$SECOND")"
check "the program file replaced" \
  test "$(stat -c '%i %Z' "$PROGRAM/VelmarImageService.exe" 2>/dev/null)" != "$program_before"
check "RUNNING after the upgrade" wait_state RUNNING 30
check "started again by the upgrade" \
  test "$(grep -c "ServiceStart debut" "$PROGRAM/debug_start.txt")" -gt "$starts_before"
check "config.ini byte-identical" cmp -s "$WORK/config.ini.before" "$PROGRAM/config.ini"

echo "windows-msi-check: uninstall"
check "msiexec /x" msi /x "$(winepath -w "$SECOND")"
check "the service is gone" test -z "$(state)"
check "the program is gone" test ! -e "$PROGRAM/VelmarImageService.exe"
check "config.ini kept" cmp -s "$WORK/config.ini.before" "$PROGRAM/config.ini"
check "the logs kept" test -s "$PROGRAM/log/service.log"
check "log\\done kept" test -n "$(ls "$PROGRAM/log/done" 2>/dev/null)"

if [ "$failures" -eq 0 ]; then
  rm -rf "$WORK"
  echo "windows-msi-check: passed"
  exit 0
fi
echo "windows-msi-check: FAILED ($failures check(s); kept in $WORK)"
exit 1
