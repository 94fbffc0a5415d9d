#!/usr/bin/env bash
# Writes the seeds of qc_files_fuzzer (the packaged and sample QC targets,
# QC log lines as the service writes them and as an editor may leave them)
# and its dictionary into the folder given: FOLDER/seeds/ and FOLDER/dict.
set -euo pipefail
out="$1"
root="$(cd "$(dirname "$0")/../.." && pwd)"
mkdir -p "$out/seeds"

"$root/build/fuzz/samplelab" "$out/lab" --no-photos >/dev/null
cp "$out/lab/install/QC_Target_qual.csv" "$out/seeds/targets-lab.csv"
rm -rf "$out/lab"
cp "$root/packaging/QC_Target_qual.csv.example" "$out/seeds/targets-example.csv"
{ printf '\xFF\xFE'; iconv -f WINDOWS-1252 -t UTF-16LE "$root/packaging/QC_Target_qual.csv.example"; } \
  >"$out/seeds/targets-utf16.csv"

L1='14/03/2025 10:20:30|SN1234|QC-LOT1|QC ABO 1|31/12/2025|1|CAS001|L-1|ABO|A POS|1|Anti-A|4+||4+||OK||||'
L2='14/03/2025 10:20:31|SN1234|QC-LOT1|QC ABO 1|31/12/2025|2|CAS001|L-1|ABO|A POS|2|Anti-B|0||NEG||OK|||'
L3='15/03/2025 08:00:00|SN1234|"QC ""2"" | B"|QC 2|01/02/2026 12:00|1|CAS002|"L|2"|RH|D+|1|Anti-D|ERR||4+||NOK|||'
L4='16/03/2025 09:00:00|SN9|QC3|LOT 3|29/02/2024|1|CAS003|Lé-3|ABO|B|1|Ctl|-||||||||'
printf '%s\r\n' "$L1" "$L2" "$L3" >"$out/seeds/log-crlf.txt"
printf '%s\n%s\n   \n|||"never closed|x\ntorn|li' "$L4" "$L1" | iconv -f UTF-8 -t WINDOWS-1252 \
  >"$out/seeds/log-edited.txt"

cat >"$out/dict" <<'DICT'
"|"
"\""
"\"\""
"\x09"
"\x0d\x0a"
"\xef\xbb\xbf"
"\xff\xfe"
"Niveau"
"NEG"
"4+"
"OK"
"NOK"
"31/12/2025"
"29/02/2024"
"10:20:30"
DICT
