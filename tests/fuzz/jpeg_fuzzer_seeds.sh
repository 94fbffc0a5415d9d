#!/usr/bin/env bash
# Writes the seeds of jpeg_fuzzer (small cassette photographs from
# seed_maker, and the same cut short) and its dictionary into the folder
# given: FOLDER/seeds/ and FOLDER/dict.
set -euo pipefail
out="$1"
root="$(cd "$(dirname "$0")/../.." && pwd)"
"$root/build/fuzz/seed_maker" photos "$out/seeds"
head -c 400 "$out/seeds/40x60.jpg" >"$out/seeds/cut.jpg"

cat >"$out/dict" <<'DICT'
"\xff\xd8"
"\xff\xd9"
"\xff\xc0"
"\xff\xc2"
"\xff\xc4"
"\xff\xdb"
"\xff\xda"
"\xff\xdd"
"\xff\xe0"
"\xff\xe1"
"\x27\x10"
"\xff\xff"
"JFIF\x00"
"Exif\x00\x00"
DICT
