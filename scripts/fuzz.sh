#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang) and runs each one for a
# bounded time over a seed corpus generated at run time. Before fuzzing, each
# target reads the inputs of its past faults (tests/fuzz/regressions/NAME/).
# Fails on any crash, sanitizer report, leak, slow input or broken invariant.
# Crash inputs are kept in build/fuzz/artifacts/, the corpus each run grows
# in build/fuzz/corpus/NAME/ (the next run starts from it).
#
#   FUZZ_SECONDS  run time per target (default 10: eight targets and the
#                 build, even without a compiler cache, stay under four
#                 minutes)
#   FUZZ_TARGETS  names of the targets to run, apart by blanks (default all)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-10}"
artifacts="$PWD/build/fuzz/artifacts"
corpora="$PWD/build/fuzz/corpus"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# The targets that read files write one per input: memory-backed when the
# machine has it, so that the journal's flush to disk costs nothing.
scratch="${TMPDIR:-/tmp}"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then scratch=/dev/shm; fi
work="$(mktemp -d "$scratch/velmar-fuzz-XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$artifacts"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=0
for src in tests/fuzz/*_fuzzer.cpp; do
  name="$(basename "$src" .cpp)"
  if [ -n "${FUZZ_TARGETS:-}" ] && [[ " $FUZZ_TARGETS " != *" $name "* ]]; then continue; fi
  bin="build/fuzz/$name"
  dir="$work/$name"
  corpus="$corpora/$name"
  mkdir -p "$corpus" "$dir/seeds" "$dir/tmp"
  # tests/fuzz/NAME_seeds.sh, when present, writes DIR/seeds/ and DIR/dict.
  seeder="tests/fuzz/${name}_seeds.sh"
  if [ -x "$seeder" ]; then "$seeder" "$dir"; fi

  regressions="tests/fuzz/regressions/$name"
  if [ -d "$regressions" ]; then
    status=0
    TMPDIR="$dir/tmp" "$bin" "$regressions"/* >"$dir/log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
      tail -n 60 "$dir/log"
      echo "fuzz: $name FAILED on a past fault's input in $regressions (exit $status)" >&2
      failed=1
      continue
    fi
  fi

  args=(-max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$artifacts/$name-")
  if [ -f "$dir/dict" ]; then args+=(-dict="$dir/dict"); fi

  echo "fuzz: $name for ${seconds}s ($(find "$dir/seeds" -type f | wc -l) seeds)"
  status=0
  TMPDIR="$dir/tmp" "$bin" "${args[@]}" "$corpus" "$dir/seeds" >"$dir/log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -n 1)"
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$dir/log"
    echo "fuzz: $name FAILED (exit $status) after ${runs:-?} executions; inputs in $artifacts" >&2
    failed=1
  else
    echo "fuzz: $name ok: ${runs:-?} executions, corpus $(find "$corpus" -type f | wc -l) inputs"
  fi
done
exit "$failed"
