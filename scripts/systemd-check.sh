#!/usr/bin/env bash
# Installs the Debian package in a minimal Debian system booted under a real
# systemd (systemd-nspawn) and checks the service as a laboratory would run
# it: started and processing the sample laboratory, its status command, a
# clean stop, the shutdown line at every power-off, restarts after kill -9
# and by the watchdog, an invalid configuration left stopped, an upgrade
# while it runs, the unit's security exposure, then remove and purge.
#
#   scripts/systemd-check.sh [BUILD_FOLDER]      (default build/default)
#
# Needs root, systemd-nspawn and mmdebstrap (scripts/setup-deps.sh); without
# them it says so and exits 77 (skipped, for ctest's check.systemd). The
# Debian root is built once from this machine's apt sources and kept in
# $VELMAR_ROOT_CACHE (default /var/cache/velmar-ci); each run boots a fresh
# copy of it. Every wait has a time-out and the container is always powered
# off, even when a check fails.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(cd "${1:-build/default}" && pwd)
CACHE=${VELMAR_ROOT_CACHE:-/var/cache/velmar-ci}
UNIT=VelmarImageService.service
DIR=/opt/velmar
SHUTDOWN_RUNS=10
started=$SECONDS

say() { printf '[systemd-check %3ds] %s\n' $((SECONDS - started)) "$*"; }
fail() {
  say "ECHEC : $*"
  exit 1
}

skip() {
  say "skipped: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "must run as root (systemd-nspawn)"
for tool in systemd-nspawn mmdebstrap nsenter dpkg-deb cpack; do
  command -v "$tool" >/dev/null || skip "$tool missing (scripts/setup-deps.sh)"
done

# --- the packages: the one built, and the same repacked as a later version ------
WORK=$(mktemp -d /var/tmp/velmar-systemd-check.XXXXXX)
ROOT="$WORK/root"
NSPAWN_PID=""
CONSOLE="$WORK/console.txt"

say "package (cpack -G DEB in $BUILD)"
cmake --build "$BUILD" --target VelmarImageService samplelab >/dev/null
(cd "$BUILD" && cpack -G DEB -B "$WORK/pkg" >"$WORK/cpack.txt" 2>&1) ||
  { cat "$WORK/cpack.txt"; fail "cpack"; }
DEB=$(ls "$WORK"/pkg/*.deb)
VERSION=$(dpkg-deb -f "$DEB" Version)
NEXT_VERSION="$VERSION+1"
dpkg-deb -R "$DEB" "$WORK/next"
sed -i "s/^Version: .*/Version: $NEXT_VERSION/" "$WORK/next/DEBIAN/control"
dpkg-deb --root-owner-group -b "$WORK/next" "$WORK/next.deb" >/dev/null
say "$(basename "$DEB") ($VERSION), and $NEXT_VERSION for the upgrade; its files:"
dpkg-deb -c "$DEB" | awk '$6 !~ /\/$/ { printf "    %s %s %8s %s\n", $1, $2, $3, substr($6, 2) }'

# --- the Debian root, built once ------------------------------------------------
INCLUDE=systemd,systemd-sysv,dbus,adduser
# The runtime libraries the package asks for, so that it installs offline.
for dep in $(dpkg-deb -f "$DEB" Depends | tr ',' '\n' | sed 's/[(|].*//; s/ //g'); do
  INCLUDE="$INCLUDE,$dep"
done
# This machine's own apt sources, one file each (one-line or deb822 format).
SOURCE_FILES=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  if [ -f "$f" ] && grep -q '^[^#[:space:]]' "$f"; then SOURCE_FILES+=("$f"); fi
done
[ ${#SOURCE_FILES[@]} -gt 0 ] || fail "no apt sources on this machine"
SOURCES=$(cat "${SOURCE_FILES[@]}")
KEY=$(printf '%s\n%s\n' "$INCLUDE" "$SOURCES" | sha256sum | cut -c1-12)
TARBALL="$CACHE/bookworm-$KEY.tar"
if [ ! -f "$TARBALL" ]; then
  say "Debian root (mmdebstrap, first run only): $INCLUDE"
  mkdir -p "$CACHE"
  # A file given as the mirror is copied into the root's apt sources.
  if ! timeout 600 mmdebstrap --variant=apt --include="$INCLUDE" --format=tar bookworm \
      "$TARBALL.part" "${SOURCE_FILES[@]}" >"$WORK/mmdebstrap.txt" 2>&1; then
    tail -n 20 "$WORK/mmdebstrap.txt"
    rm -f "$TARBALL.part"
    fail "mmdebstrap"
  fi
  mv "$TARBALL.part" "$TARBALL"
fi
mkdir "$ROOT"
tar -C "$ROOT" -xf "$TARBALL"
cp "$DEB" "$ROOT/root/velmar.deb"
cp "$WORK/next.deb" "$ROOT/root/velmar-next.deb"

# --- booting, running inside, powering off ------------------------------------
boot() {
  systemd-nspawn -D "$ROOT" -b --register=no --keep-unit -q --console=read-only \
    </dev/null >>"$CONSOLE" 2>&1 &
  NSPAWN_PID=$!
  # The container's init is the child of systemd-nspawn once it has become
  # systemd; its manager then answers on its bus.
  local _ state=""
  INIT_PID=""
  for _ in $(seq 600); do
    [ -n "$INIT_PID" ] || INIT_PID=$(pgrep -P "$NSPAWN_PID" -x systemd | head -n 1 || true)
    if [ -n "$INIT_PID" ]; then
      state=$(in_root timeout 60 systemctl is-system-running --wait 2>/dev/null || true)
      [ -n "$state" ] && break
    fi
    kill -0 "$NSPAWN_PID" 2>/dev/null || fail "the container ended while booting"
    sleep 0.1
  done
  case "$state" in
    running | degraded) ;;
    *) fail "boot: system state '$state'" ;;
  esac
}
# Runs a command inside the container, with a plain environment.
in_root() {
  nsenter -t "$INIT_PID" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
# Powers the container off and waits for it (killed after 60 s).
poweroff() {
  [ -n "$NSPAWN_PID" ] || return 0
  in_root systemctl poweroff >/dev/null 2>&1 || true
  local _
  for _ in $(seq 600); do
    kill -0 "$NSPAWN_PID" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$NSPAWN_PID" 2>/dev/null; then
    say "power-off took over 60 s: container killed"
    kill -9 "$NSPAWN_PID" 2>/dev/null || true
  fi
  wait "$NSPAWN_PID" 2>/dev/null || true
  NSPAWN_PID=""
}
cleanup() {
  local rc=$?
  if [ $rc -ne 0 ] && [ -n "$NSPAWN_PID" ]; then
    echo "--- journal of $UNIT (last 40 lines) ---"
    in_root journalctl -u "$UNIT" --no-pager -n 40 2>/dev/null || true
  fi
  poweroff
  if [ $rc -ne 0 ]; then
    echo "--- container console (last 20 lines) ---"
    tail -n 20 "$CONSOLE" 2>/dev/null || true
    echo "(files kept in $WORK)"
  else
    rm -rf "$WORK"
  fi
}
trap cleanup EXIT
trap "exit 130" INT TERM HUP PIPE

# wait_for SECONDS WHAT COMMAND...: polls the command every half second.
wait_for() {
  local limit=$1 what=$2
  shift 2
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || fail "$what (waited ${limit} s)"
    sleep 0.5
  done
}
prop() { in_root systemctl show -p "$1" --value "$UNIT"; }
active() { [ "$(prop ActiveState)/$(prop SubState)" = "active/running" ]; }
main_pid() { prop MainPID; }
# Lines of the service log holding TEXT (the log is in Windows-1252).
log_count() {
  local log="$ROOT$DIR/log/service.log"
  [ -f "$log" ] || { echo 0; return; }
  LC_ALL=C grep -a -c -- "$1" "$log" || true
}
SHUTDOWN_LINE='tect. .* arr.*t propre\.\.\.'

# --- install ------------------------------------------------------------------
boot
say "booted; installing the package"
in_root dpkg -i /root/velmar.deb >"$WORK/dpkg.txt" 2>&1 || { cat "$WORK/dpkg.txt"; fail "dpkg -i"; }
in_root getent passwd velmar >/dev/null || fail "no user velmar"
[ "$(in_root systemctl is-enabled "$UNIT")" = enabled ] || fail "unit not enabled"
[ "$(in_root stat -c '%U:%G %a' "$DIR/VelmarImageService")" = "root:root 755" ] ||
  fail "executable rights: $(in_root stat -c '%U:%G %a' "$DIR/VelmarImageService")"
in_root runuser -u velmar -- test -w "$DIR" || fail "$DIR not writable by velmar"
say "$(in_root dpkg-query -W velmar-image-service) installed, user velmar, unit enabled"

# The sample laboratory, made on this side, with its folders under /srv/lab
# inside and allowed to the service by a drop-in.
HOST_LAB="$ROOT/srv/lab"
"$BUILD/samplelab" "$HOST_LAB" >/dev/null
sed -i "s|$HOST_LAB|/srv/lab|g" "$HOST_LAB/install/config.ini"
in_root sh -c "cp /srv/lab/install/config.ini /srv/lab/install/QC_Target_qual.csv $DIR/ &&
  chown root:velmar $DIR/config.ini && chmod 0640 $DIR/config.ini &&
  if [ -d /srv/lab/install/QC ]; then cp -r /srv/lab/install/QC $DIR/; chown -R velmar:velmar $DIR/QC; fi &&
  chown -R velmar:velmar /srv/lab &&
  mkdir -p /etc/systemd/system/$UNIT.d &&
  printf '[Service]\nReadWritePaths=/srv/lab\n' >/etc/systemd/system/$UNIT.d/lab.conf &&
  systemctl daemon-reload"
PENDING_CMD="find /srv/lab/instruments -name '*.tra'"
TOTAL=$(in_root sh -c "$PENDING_CMD | wc -l")

in_root timeout 30 systemctl start "$UNIT" || fail "systemctl start"
wait_for 15 "active (running) after start" active
say "active (running)"

# --- the sample laboratory is processed ------------------------------------------
pending() { [ "$(in_root sh -c "$PENDING_CMD | wc -l")" -eq 0 ]; }
wait_for 180 "sample laboratory processed" pending
filed=$(in_root sh -c "ls $DIR/log/done | wc -l")
[ "$filed" -eq "$TOTAL" ] || fail "$filed of $TOTAL result files filed"
pictures=$(in_root sh -c "find /srv/lab/out -type f | wc -l")
[ "$pictures" -gt 0 ] || fail "no output in /srv/lab/out"
mode=$(in_root sh -c "find /srv/lab/out -type f -perm /o+r | wc -l")
[ "$mode" -eq 0 ] || fail "$mode output file(s) readable by other users"
say "sample laboratory processed: $TOTAL result files filed, $pictures output files, none world-readable"

# --- the status command -----------------------------------------------------------
status_is() {
  local rc=0
  in_root "$DIR/VelmarImageService" -status >"$WORK/status.txt" 2>&1 || rc=$?
  [ "$rc" -eq "$1" ]
}
# The laboratory holds deliberate failures (a garbage file, wrong barcodes):
# a warning, until a restart and the flags cleared.
status_is 1 || { cat "$WORK/status.txt"; fail "-status after the sample laboratory: not 1"; }
say "-status 1 after the failures of the sample laboratory: $(head -n 1 "$WORK/status.txt")"
in_root sh -c "rm -f $DIR/*.flag"
in_root timeout 60 systemctl restart "$UNIT" || fail "systemctl restart"
wait_for 15 "active after restart" active
status_fresh() { status_is 0; }
wait_for 30 "-status 0 after a restart with the flags cleared" status_fresh
say "-status 0: $(head -n 1 "$WORK/status.txt")"
# Another account may not read the status file, and is told so.
rc=0
in_root runuser -u nobody -- "$DIR/VelmarImageService" -status >"$WORK/status.txt" 2>&1 || rc=$?
if [ "$rc" -ne 2 ] || ! grep -q illisible "$WORK/status.txt"; then
  cat "$WORK/status.txt"
  fail "-status from an account outside group velmar"
fi
say "-status from another account: 2, $(head -n 1 "$WORK/status.txt")"

# --- kill -9 and the watchdog ---------------------------------------------------
restarted_from() { local p; p=$(main_pid); [ "$p" != 0 ] && [ "$p" != "$1" ] && active; }
pid=$(main_pid)
in_root sh -c "kill -9 $pid"
wait_for 30 "restart after kill -9" restarted_from "$pid"
say "kill -9: restarted (PID $pid -> $(main_pid))"

restarts=$(prop NRestarts)
pid=$(main_pid)
wait_for 15 "ready after the kill -9 restart" active
in_root sh -c "kill -STOP $pid"
t0=$SECONDS
wait_for 150 "restart by the watchdog after SIGSTOP" restarted_from "$pid"
WATCHDOG_SECONDS=$((SECONDS - t0))
[ "$(prop NRestarts)" -gt "$restarts" ] || fail "NRestarts did not grow"
in_root journalctl -u "$UNIT" --no-pager | grep -i watchdog >"$WORK/watchdog.txt" || fail "no watchdog line in the journal"
say "SIGSTOP: restarted by the watchdog after ${WATCHDOG_SECONDS} s"

# --- upgrade while running -----------------------------------------------------
config_sum=$(in_root sha256sum "$DIR/config.ini")
pid=$(main_pid)
in_root dpkg -i /root/velmar-next.deb >"$WORK/dpkg.txt" 2>&1 || { cat "$WORK/dpkg.txt"; fail "upgrade"; }
wait_for 30 "running again after the upgrade" restarted_from "$pid"
[ "$(in_root dpkg-query -W -f "\${Version}" velmar-image-service)" = "$NEXT_VERSION" ] ||
  fail "version after upgrade"
exe=$(in_root readlink "/proc/$(main_pid)/exe")
[ "$exe" = "$DIR/VelmarImageService" ] || fail "after the upgrade the service runs '$exe'"
[ "$(in_root sha256sum "$DIR/config.ini")" = "$config_sum" ] || fail "config.ini changed by the upgrade"
say "upgrade to $NEXT_VERSION while running: new executable running, config.ini kept"

# --- clean stop, and -status 2 when stopped ------------------------------------------
stops=$(log_count 'Service arrete proprement')
in_root timeout 60 systemctl stop "$UNIT" || fail "systemctl stop"
[ "$(prop ActiveState)" = inactive ] || fail "not inactive after stop: $(prop ActiveState)"
[ "$(prop Result)" = success ] || fail "stop result: $(prop Result)"
[ "$(log_count 'Service arrete proprement')" -gt "$stops" ] || fail "no clean-stop line"
status_is 2 || { cat "$WORK/status.txt"; fail "-status of a stopped service: not 2"; }
say "stop: clean (result success, 'Service arrete proprement' logged); -status 2 when stopped"

# --- an invalid configuration: exit 78, not restarted -----------------------------------
in_root cp "$DIR/config.ini" /root/config.ini.good
in_root sed -i 's/^ImageDest=.*/ImageDest=/' "$DIR/config.ini"
in_root systemctl start "$UNIT" >/dev/null 2>&1 || true
exited() { [ "$(prop ActiveState)" = failed ] || [ "$(prop ActiveState)" = inactive ]; }
wait_for 30 "stop on an invalid configuration" exited
sleep 3   # longer than the restart delay: it must stay down
[ "$(prop ExecMainStatus)" = 78 ] || fail "invalid configuration: exit $(prop ExecMainStatus), not 78"
exited || fail "restarted on an invalid configuration"
in_root cp /root/config.ini.good "$DIR/config.ini"
in_root systemctl reset-failed "$UNIT" || true
say "invalid configuration: exit 78, left stopped"

# --- the shutdown line at every power-off -------------------------------------------
before=$(log_count "$SHUTDOWN_LINE")
poweroff
for run in $(seq "$SHUTDOWN_RUNS"); do
  boot
  wait_for 30 "active after boot $run" active
  poweroff
done
SHUTDOWN_SEEN=$(($(log_count "$SHUTDOWN_LINE") - before))
[ "$SHUTDOWN_SEEN" -eq "$SHUTDOWN_RUNS" ] ||
  fail "shutdown line in $SHUTDOWN_SEEN of $SHUTDOWN_RUNS power-offs"
say "shutdown line logged in $SHUTDOWN_SEEN of $SHUTDOWN_RUNS power-offs"

# --- security exposure -----------------------------------------------------------------
boot
wait_for 30 "active after boot" active
in_root systemd-analyze security "$UNIT" --no-pager >"$WORK/security.txt" 2>&1 || true
SCORE=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p' "$WORK/security.txt")
[ -n "$SCORE" ] || { cat "$WORK/security.txt"; fail "no security score"; }
awk -v s="$SCORE" 'BEGIN { exit !(s <= 2.0) }' || fail "security exposure $SCORE (above 2.0)"
say "security exposure $SCORE"

# --- remove keeps the laboratory's data, purge removes only the package's -----------------
in_root dpkg -r velmar-image-service >"$WORK/dpkg.txt" 2>&1 || { cat "$WORK/dpkg.txt"; fail "dpkg -r"; }
in_root sh -c 'grep -qx VelmarImageServ /proc/[0-9]*/comm' && fail "service still running after remove"
[ -e "$ROOT/lib/systemd/system/$UNIT" ] && fail "unit left after remove"
[ -e "$ROOT$DIR/VelmarImageService" ] && fail "executable left after remove"
for kept in config.ini QC_Target_qual.csv log/service.log log/done; do
  [ -e "$ROOT$DIR/$kept" ] || fail "remove deleted $DIR/$kept"
done
in_root dpkg -P velmar-image-service >"$WORK/dpkg.txt" 2>&1 || { cat "$WORK/dpkg.txt"; fail "dpkg -P"; }
# The laboratory replaced config.ini: it is the laboratory's and stays.
for kept in config.ini log/service.log log/done; do
  [ -e "$ROOT$DIR/$kept" ] || fail "purge deleted $DIR/$kept"
done
[ -e "$ROOT$DIR/config.ini.example" ] && fail "purge left config.ini.example"
say "remove: service stopped, unit and executable gone, data kept; purge: only the package's files gone"

poweroff
say "all checks passed: security $SCORE, shutdown line $SHUTDOWN_SEEN/$SHUTDOWN_RUNS, watchdog restart ${WATCHDOG_SECONDS} s"
