#!/usr/bin/env bash
# Runs shellcheck over every shell script of the checkout: the scripts, the
# CI entry point, the Debian package's maintainer scripts and the fuzz
# seeders. Exit status 77 (skipped) when shellcheck is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v shellcheck >/dev/null || { echo "check-shell: shellcheck missing: skipped"; exit 77; }
scripts=(scripts/*.sh .ci/run packaging/postinst packaging/prerm packaging/postrm tests/fuzz/*.sh)
shellcheck "${scripts[@]}"
echo "check-shell: ${#scripts[@]} scripts checked"
