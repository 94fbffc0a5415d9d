#!/usr/bin/env bash
# Writes the seeds of config_fuzzer (the packaged example and the sample
# laboratory's config.ini, in each encoding the service reads) and its
# dictionary into the folder given: FOLDER/seeds/ and FOLDER/dict.
set -euo pipefail
out="$1"
root="$(cd "$(dirname "$0")/../.." && pwd)"
mkdir -p "$out/seeds"

"$root/build/fuzz/samplelab" "$out/lab" --no-photos >/dev/null
# Comments dropped from the example: libFuzzer cuts inputs to -max_len.
grep -v '^;' "$root/packaging/config.ini.example" >"$out/example.ini"
for name in example lab; do
  src="$out/example.ini"
  if [ "$name" = lab ]; then src="$out/lab/install/config.ini"; fi
  iconv -f UTF-8 -t WINDOWS-1252//TRANSLIT "$src" >"$out/seeds/$name-ansi.ini"
  { printf '\xEF\xBB\xBF'; cat "$src"; } >"$out/seeds/$name-utf8bom.ini"
  { printf '\xFF\xFE'; iconv -f UTF-8 -t UTF-16LE "$src"; } >"$out/seeds/$name-utf16le.ini"
  { printf '\xFE\xFF'; iconv -f UTF-8 -t UTF-16BE "$src"; } >"$out/seeds/$name-utf16be.ini"
done
rm -rf "$out/lab" "$out/example.ini"
# shellcheck disable=SC2016  # "$1F" is a hexadecimal value of the file
printf '[Main]\r\nCycle=$1F\r\nTimeout=0x20\r\nprefix=UP\r\n[MULTI]\r\ninstrCount=3\r\ntraVelmar2=\\tra\r\n' \
  >"$out/seeds/hex-crlf.ini"

cat >"$out/dict" <<'DICT'
"[Main]"
"[Multi]"
"="
";"
"\x0d\x0a"
"\xef\xbb\xbf"
"\xff\xfe"
"\xfe\xff"
"instrCount="
"traVelmar"
"imagesVelmar"
"Cycle="
"Timeout="
"Starting_delay="
"ResizeFactor="
"keepimagedays="
"QCPerDelay="
"BagStart="
"BagLenght="
"GDPRFile="
"Sort_Letter="
"InfoToLis="
"InfoToLisPrefix="
"Dest="
"\\"
"\\\\"
"$"
"0x"
"yes"
"2147483648"
DICT
