#!/usr/bin/env bash
# Writes the seeds of glims_log_fuzzer (export logs as the service writes
# them and as a crash or an editor may leave them) and its dictionary into
# the folder given: FOLDER/seeds/ and FOLDER/dict.
set -euo pipefail
out="$1"
mkdir -p "$out/seeds"

printf '%s\r\n' 'S0|XM|a.jpg|1|01/01/2000 00:00:00' 'S001|ABO|S001_CAS001.jpg|0|14/03/2025 10:20:30' \
  'S002|IDENT_PLACEHOLDER|S002_CAS9.jpg|12|29/02/2024 23:59:59' >"$out/seeds/log.csv"
printf '%s\n' ' S3 | XM | b.jpg | x | 31/02/2025' '' '|XM|c.jpg|1|01/01/2025 00:00:00' \
  'S4|XM|é.jpg|-2|01/01/2025 24:00:00|extra' 'S5|XM|d.jpg' 'S6|XM|e.jpg|7|01/01/2025 1' |
  iconv -f UTF-8 -t WINDOWS-1252 >"$out/seeds/edited.csv"

cat >"$out/dict" <<'DICT'
"|"
"\x0d\x0a"
"01/01/2025 00:00:00"
"29/02/2024"
"23:59:59"
".jpg"
"2147483648"
DICT
