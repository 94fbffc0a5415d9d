#!/usr/bin/env bash
# Writes the seeds of journal_fuzzer (entries as the journal writes them
# after each stage, from seed_maker) and its dictionary into the folder
# given: FOLDER/seeds/ and FOLDER/dict.
set -euo pipefail
out="$1"
root="$(cd "$(dirname "$0")/../.." && pwd)"
"$root/build/fuzz/seed_maker" journal "$out/seeds"
rm -rf "$out/seeds/.journal"

cat >"$out/dict" <<'DICT'
"name\x09"
"size\x09"
"hash\x09"
"stage\x09"
"image\x09"
"end\x09"
"journal\x092\x0a"
"\x09"
"\x0a"
"\\t"
"\\n"
"\\\\"
"qc"
"images"
"xml"
"glims"
DICT
