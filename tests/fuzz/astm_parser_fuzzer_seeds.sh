#!/usr/bin/env bash
# Writes the seed corpus (valid result messages in the encodings, line ends
# and shapes the parser meets) and a token dictionary for
# astm_parser_fuzzer into the folder given: FOLDER/seeds/ and FOLDER/dict.
set -euo pipefail
out="$1"
mkdir -p "$out/seeds"

H='H|\^&|||ZID^IH-500^5.2^SN1234|||||||P|LIS2-A|20240506070809'
P='P|1|PAT001|||Hélène^Dupont||19800101|F'
O1='O|1|S001||ABO/RH|N|20240506070000|||||||||Blood|||||||20240506080000|||F'
O2='O|2|QC-LOT1||QC ABO|N|20240506070000|||||||||Blood|||||||20240506080000|||F'
R1='R|1|ABO|A POS||||N||F||OPER||20240506075000|SN1234'
R2='R|2|RH|"D ""weak"" | pos"||||N||F||OPER||20240506075000|SN1234'
M1='M|1|Anti-A|ABO-D^1^CAS001^LOT1^20250101^bw1.jpg^col1.jpg|Anti-A^RL1^20250201|40^'
M2='M|2|Anti-B|ABO-D^2^CAS001^LOT1^20250101^bw1.jpg^COL1.JPG|Anti-B^RL2^20250201|-118^B'
M3='M|3|Ctl|ABO-D^3^CAS002^LOT2^20241231^bw2.jpg^col2.jpg|Ctl^RL3^20250201|5^'
L='L|1|N'

# join EOL LINE... : the lines, each followed by EOL
join() {
  local eol="$1"
  shift
  local line
  for line in "$@"; do printf '%s%b' "$line" "$eol"; done
}

join '\r\n' "$H" "$P" "$O1" "$R1" "$M1" "$M2" "$L" >"$out/seeds/crlf.tra"
join '\n' "$H" "$P" "$O1" "$R1" "$M1" "$R2" "$M2" "$M3" "$L" >"$out/seeds/lf.tra"
join '\r' "$H" "$P" "$O1" "$R1" "$M1" "$O2" "$R2" "$M3" "$L" >"$out/seeds/cr_two_orders.tra"
{ printf '\xEF\xBB\xBF'; join '\r\n' "$H" "$P" "$O2" "$R1" "$M1" "$M3" "$L"; } >"$out/seeds/bom_qc.tra"
join '\r\n' "$H" "$P" "$O1" "$R1" "$M1" "$M2" | iconv -f UTF-8 -t WINDOWS-1252 >"$out/seeds/ansi_no_l.tra"
join '\x17\r\n\x02' "$H" "$R1" "$M1" "$O1" "$M2" "$R1" "$M3" "x|unknown" "$L" >"$out/seeds/framed_odd.tra"

cat >"$out/dict" <<'DICT'
"H|"
"P|"
"O|"
"R|"
"M|"
"L|"
"|"
"^"
"\""
"\"\""
"\x0d\x0a"
"\x0d"
"\xef\xbb\xbf"
"QC"
"qc"
"20240229"
"20240229123045"
"-118"
"2147483648"
DICT
