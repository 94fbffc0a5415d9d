#!/usr/bin/env bash
# Writes the seeds of dates_fuzzer (dates as the files carry them) and its
# dictionary into the folder given: FOLDER/seeds/ and FOLDER/dict.
set -euo pipefail
out="$1"
mkdir -p "$out/seeds"

n=0
for d in '14/03/2025' '29/02/2024 23:59:59' ' +1 / -2 / 2025 ' '31/12/9999 00:00:01' '1/1/1' \
  '20240229' '20240229123045' '2100123123595' 'x0240229'; do
  n=$((n + 1))
  printf '%s' "$d" >"$out/seeds/date$n"
done

cat >"$out/dict" <<'DICT'
"/"
":"
" "
"29/02"
"2024"
"9999"
"0000"
"235959"
"-"
"+"
DICT
