#!/usr/bin/env bash
# The project's whole check, from a fresh clone on a fresh machine:
# dependencies, the normal build and every test with the formatting, layer
# and shellcheck checks (ctest), the slow checks (ctest -L slow: the kill -9
# crash-consistency check, the Debian package installed and run under a real
# systemd in a container), the Windows program cross-built and checked under
# Wine (scripts/windows-check.sh), a clang build of the program and the tests, the
# sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer) and every
# test again, the threaded test binaries under ThreadSanitizer, then the
# bounded fuzz runs. Stops at the first failure; each phase says what it does
# and how long it took. `ctest -N` in a build folder lists every check.
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
# are taken relative to the checkout and the build folder is left out of the
# hash (debug information then names the first clone's folder), so another
# clone shares the cache.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
fi

phase "build, default preset (release with debug info, gcc, warnings as errors)"
cmake --preset default >/dev/null
cmake --build --preset default

phase "tests, default preset (every test binary; the formatting, layer and shellcheck checks)"
ctest --preset default

phase "slow checks (ctest -L slow: kill -9 crash consistency, the package under a real systemd, the status page in Chromium)"
ctest --preset slow

phase "windows (scripts/windows-check.sh: the Windows program cross-built, its tests, the sample laboratory and the kill -9 check under Wine)"
scripts/windows-check.sh

phase "build, clang preset (the program and every test, warnings as errors)"
cmake --preset clang >/dev/null
cmake --build --preset clang

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
