#!/usr/bin/env bash
# The Windows service under Wine's service control manager, from a sample
# laboratory (the Linux samplelab's, its folders written as Z:\ paths):
#
#   1. -install: the service exists, its registry entries are written; a
#      second -install changes nothing;
#   2. sc start: RUNNING, every result file filed, -status 1 after the
#      laboratory's deliberate failures;
#   3. pause and continue (through servicecontrol.exe, a test program: Wine's
#      sc.exe has neither): their log lines, processing goes on;
#   4. sc stop: STOPPED, "Service arrete proprement", -status 2;
#   5. -uninstall, then -uninstall again: "Service non trouve.";
#   6. an invalid configuration: the start fails, the manager shows the
#      failure (the service's own exit code), config_error.flag is raised.
#
#   scripts/windows-service-check.sh LINUX_BUILD WINDOWS_BUILD
#
# Runs under the Wine prefix of the environment (WINEPREFIX, with a
# wineserver already running: scripts/windows-check.sh sets it up; the
# service lives only while a wineserver does). Every wait is bounded. Exit
# status 0 when everything holds, 1 otherwise (the laboratory is then kept).

# The helpers below run through check(), which shellcheck cannot follow.
# shellcheck disable=SC2317
set -euo pipefail
LINUX_BUILD=$(cd "$1" && pwd)
WINDOWS_BUILD=$(cd "$2" && pwd)
NAME=VelmarImageService

WORK=$(mktemp -d "${TMPDIR:-/tmp}/windows-service-check-XXXXXX")
LAB="$WORK/lab"
INSTALL="$LAB/install"
"$LINUX_BUILD/samplelab" "$LAB" >/dev/null
cp "$WINDOWS_BUILD/VelmarImageService.exe" "$WINDOWS_BUILD/libzbar-0.dll" \
  "$WINDOWS_BUILD/gswin64c.exe" "$INSTALL/"
# A service starts in the system folder, on drive C:: the settings name the
# laboratory's folders by the drive Wine maps the Unix root to.
sed -i "s|=$LAB|=Z:$LAB|" "$INSTALL/config.ini"
# A result file kept aside, dropped in while the service is paused.
cp "$LAB/instruments/velmar1/tra/UP_260101.tra" "$WORK/spare.tra"

# check, state, wait_state, status_within and the failures count.
# shellcheck source=scripts/windows-check-lib.sh
. "$(dirname "$0")/windows-check-lib.sh"
service() { (cd "$INSTALL" && wine VelmarImageService.exe "$@" </dev/null 2>&1 | tr -d '\r'); }
log_has() { iconv -f WINDOWS-1252 -t UTF-8 "$INSTALL/log/service.log" | grep -qF -- "$1"; }
pending() { find "$LAB/instruments" -name '*.tra' | wc -l; }
registry_has() {
  wine reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' | grep -qF -- "$3"
}
SERVICE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\VelmarImageService'
SOURCE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\VelmarImageService'
cleanup() { service -uninstall >/dev/null 2>&1 || true; }
trap cleanup EXIT

echo "windows-service-check: install"
out=$(service -install)
check "-install says so" grep -qF "Service installe avec succes : $NAME" <<<"$out"
check "the service exists, stopped" wait_state STOPPED 10
check "its description" registry_has "$SERVICE_KEY" Description "Generation automatique d'images"
check "its executable, quoted" registry_has "$SERVICE_KEY" ImagePath "\"Z:"
check "the event source names the executable" \
  registry_has "$SOURCE_KEY" EventMessageFile 'VelmarImageService.exe'
check "the event source's types" registry_has "$SOURCE_KEY" TypesSupported 0x7
out=$(service -install)
check "a second -install: \"Service deja installe.\"" grep -qxF "Service deja installe." <<<"$out"

echo "windows-service-check: start"
wine sc start "$NAME" </dev/null >/dev/null 2>&1 || true
check "RUNNING" wait_state RUNNING 30
deadline=$((SECONDS + 120))
while [ "$(pending)" -gt 0 ] && [ $SECONDS -lt $deadline ]; do sleep 1; done
check "every result file filed" test "$(pending)" -eq 0
check "-status 1 after the laboratory's deliberate failures" status_within "$INSTALL" 1 30

echo "windows-service-check: pause and continue"
wine "$WINDOWS_BUILD/servicecontrol.exe" pause "$NAME" </dev/null || true
check "PAUSED" wait_state PAUSED 15
check "\"Service mis en pause\"" log_has "[SERVICE] Service mis en pause"
cp "$WORK/spare.tra" "$LAB/instruments/velmar1/tra/UP_260101b.tra"
deadline=$((SECONDS + 30))
while [ "$(pending)" -gt 0 ] && [ $SECONDS -lt $deadline ]; do sleep 1; done
check "processing goes on while paused" test "$(pending)" -eq 0
wine "$WINDOWS_BUILD/servicecontrol.exe" continue "$NAME" </dev/null || true
check "RUNNING again" wait_state RUNNING 15
check "\"Service repris\"" log_has "[SERVICE] Service repris"

echo "windows-service-check: stop"
wine sc stop "$NAME" </dev/null >/dev/null 2>&1 || true
check "STOPPED" wait_state STOPPED 60
check "\"Service arrete proprement\"" log_has "[SERVICE] Service arrete proprement"
check "-status 2 once stopped" status_within "$INSTALL" 2 30

echo "windows-service-check: an invalid configuration"
cp "$INSTALL/config.ini" "$WORK/config.ini.good"
sed -i 's|^traVelmar1=.*|traVelmar1=Z:\\no\\such\\folder|' "$INSTALL/config.ini"
wine sc start "$NAME" </dev/null >/dev/null 2>&1 || true
check "the start fails: STOPPED" wait_state STOPPED 30
query=$(wine sc query "$NAME" </dev/null 2>/dev/null | tr -d '\r')
check "the manager shows the service's own exit code" \
  grep -qE 'WIN32_EXIT_CODE *: *1066' <<<"$query"
check "config_error.flag raised" test -f "$INSTALL/config_error.flag"
cp "$WORK/config.ini.good" "$INSTALL/config.ini"

echo "windows-service-check: uninstall"
out=$(service -uninstall)
check "-uninstall says so" grep -qxF "Service desinstalle avec succes." <<<"$out"
out=$(service -uninstall)
check "a second -uninstall: \"Service non trouve.\"" grep -qxF "Service non trouve." <<<"$out"
trap - EXIT

if [ "$failures" -eq 0 ]; then
  rm -rf "$WORK"
  echo "windows-service-check: passed"
  exit 0
fi
echo "windows-service-check: FAILED ($failures check(s); laboratory kept in $WORK)"
exit 1
