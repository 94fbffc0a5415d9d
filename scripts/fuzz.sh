#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang) and runs each one for a
# bounded time over a seed corpus generated at run time. Fails on any crash,
# sanitizer report, leak or slow input. Crash inputs are kept in
# build/fuzz/artifacts/.
#
#   FUZZ_SECONDS  run time per target (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
artifacts="$PWD/build/fuzz/artifacts"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work="$(mktemp -d "${TMPDIR:-/tmp}/velmar-fuzz-XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$artifacts"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=0
for src in tests/fuzz/*_fuzzer.cpp; do
  name="$(basename "$src" .cpp)"
  bin="build/fuzz/$name"
  dir="$work/$name"
  mkdir -p "$dir/corpus" "$dir/seeds"
  # tests/fuzz/NAME_seeds.sh, when present, writes DIR/seeds/ and DIR/dict.
  seeder="tests/fuzz/${name}_seeds.sh"
  if [ -x "$seeder" ]; then "$seeder" "$dir"; fi
  args=(-max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$artifacts/$name-")
  if [ -f "$dir/dict" ]; then args+=(-dict="$dir/dict"); fi

  echo "fuzz: $name for ${seconds}s ($(find "$dir/seeds" -type f | wc -l) seeds)"
  status=0
  "$bin" "${args[@]}" "$dir/corpus" "$dir/seeds" >"$dir/log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -n 1)"
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$dir/log"
    echo "fuzz: $name FAILED (exit $status) after ${runs:-?} executions; inputs in $artifacts" >&2
    failed=1
  else
    echo "fuzz: $name ok: ${runs:-?} executions, corpus $(find "$dir/corpus" -type f | wc -l) inputs"
  fi
done
exit "$failed"
