# shellcheck shell=bash
# What the Windows service checks share, sourced by
# scripts/windows-service-check.sh and scripts/windows-msi-check.sh: their
# verdict lines, the service's state under Wine's service manager and its
# -status answer. NAME is the service's name; failures counts the failed
# checks.

failures=0

# check WHAT COMMAND...: one "ok" or "FAIL" line for the command's outcome.
check() {
  local what=$1
  shift
  if "$@"; then
    echo "  ok    $what"
  else
    echo "  FAIL  $what"
    failures=$((failures + 1))
  fi
}

# The service's state as sc shows it (RUNNING, STOPPED...), empty when
# there is no such service.
state() { wine sc query "$NAME" </dev/null 2>/dev/null | tr -d '\r' | awk '/STATE/ { print $4 }'; }

# Waits up to $2 seconds for the service state $1.
wait_state() {
  local deadline=$((SECONDS + $2))
  while [ "$(state)" != "$1" ] && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.5; done
  [ "$(state)" = "$1" ]
}

# status_within FOLDER CODE SECONDS: the program of FOLDER answers -status with
# CODE within SECONDS (the status file is written at the end of each cycle, a
# moment after the last file is filed).
status_within() {
  local deadline=$((SECONDS + $3)) code
  while :; do
    code=0
    (cd "$1" && wine VelmarImageService.exe -status </dev/null >/dev/null 2>&1) || code=$?
    [ "$code" -eq "$2" ] && return 0
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 1
  done
}
