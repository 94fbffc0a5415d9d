#!/usr/bin/env bash
# Checks that every C++ file of the checkout is formatted as .clang-format
# says (clang-format --dry-run --Werror). Exit status 77 (skipped) when
# clang-format is missing or the sources are not a git checkout.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v clang-format >/dev/null || { echo "check-format: clang-format missing: skipped"; exit 77; }
git rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
  { echo "check-format: not a git checkout: skipped"; exit 77; }
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
echo "check-format: $(git ls-files '*.cpp' '*.h' | wc -l) files checked"
