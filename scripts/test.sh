#!/usr/bin/env bash
# The project's whole check, from a fresh clone on a fresh machine:
# dependencies, the formatting and layer checks, the normal build and every
# test, the kill -9 crash-consistency check, the Debian package installed and
# run under a real systemd in a container, a clang build, the sanitizer
# build (AddressSanitizer + UndefinedBehaviorSanitizer) and every test again,
# the threaded test binaries under ThreadSanitizer, then the bounded fuzz
# runs. Stops at the first failure; each phase says what it
# does and how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."

started=$SECONDS
phase_name=""
phase_start=0

# Ends the running phase (its duration) and starts the next one.
phase() {
  finish_phase
  phase_name="$*"
  phase_start=$SECONDS
  printf '\n=== %s ===\n' "$phase_name"
}
finish_phase() {
  if [ -n "$phase_name" ]; then
    printf '=== %s: done in %ds ===\n' "$phase_name" $((SECONDS - phase_start))
  fi
}

phase "dependencies (scripts/setup-deps.sh)"
scripts/setup-deps.sh

# Compiler cache: a second run of the same sources rebuilds in seconds. Paths
# are taken relative to the checkout, so another clone shares the cache.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$PWD"
fi

phase "formatting (clang-format --dry-run --Werror over every C++ file)"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
echo "formatting: $(git ls-files '*.cpp' '*.h' | wc -l) files checked"

phase "layers (scripts/check-layers.sh: every include points down)"
scripts/check-layers.sh

phase "build, default preset (release with debug info, gcc, warnings as errors)"
cmake --preset default >/dev/null
cmake --build --preset default

phase "tests, default preset (every test binary)"
ctest --preset default

phase "crash consistency (scripts/crash-check.sh: kill -9 at random moments, nothing lost or made twice)"
scripts/crash-check.sh

phase "under a real systemd (scripts/systemd-check.sh: the package in a booted Debian container)"
scripts/systemd-check.sh build/default

phase "build, clang (the core library and the program, warnings as errors)"
cmake -S . -B build/clang -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-14 \
  -DVELMAR_WERROR=ON -DVELMAR_TESTS=OFF -DVELMAR_BENCH=OFF >/dev/null
cmake --build build/clang -j2 --target VelmarImageService

phase "build, asan preset (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake --preset asan >/dev/null
cmake --build --preset asan

phase "tests, asan preset (every test binary)"
ctest --preset asan

phase "build, tsan preset (ThreadSanitizer: the threaded test binaries)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan

phase "tests, tsan preset (logging, processing, service, qc, end to end)"
ctest --preset tsan

if [ -x scripts/fuzz.sh ]; then
  phase "fuzzing (scripts/fuzz.sh, bounded runs)"
  scripts/fuzz.sh
fi

finish_phase
phase_name=""
printf '\n=== all checks passed in %ds ===\n' $((SECONDS - started))
