# shellcheck shell=bash
# What the Windows service checks share, sourced by
# scripts/windows-service-check.sh and scripts/windows-msi-check.sh: their
# verdict lines and the service's state under Wine's service manager. NAME
# is the service's name; failures counts the failed checks.

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
