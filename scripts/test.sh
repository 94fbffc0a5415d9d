#!/usr/bin/env bash
# The project's whole check, from a fresh clone on a fresh machine:
# dependencies, the normal build and every test, the sanitizer build
# (AddressSanitizer + UndefinedBehaviorSanitizer) and every test again, then
# the bounded fuzz runs. Stops at the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n=== %s ===\n' "$*"; }

step "dependencies"
scripts/setup-deps.sh

step "build (default preset)"
cmake --preset default >/dev/null
cmake --build --preset default

step "tests (default preset)"
ctest --preset default

step "build (asan preset)"
cmake --preset asan >/dev/null
cmake --build --preset asan

step "tests (asan preset)"
ctest --preset asan

if [ -x scripts/fuzz.sh ]; then
  step "fuzzing"
  scripts/fuzz.sh
fi

step "all checks passed"
