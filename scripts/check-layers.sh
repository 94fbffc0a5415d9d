#!/usr/bin/env bash
# Checks that modules only include downwards:
#   service -> processing -> {qc, export} -> imaging -> barcode -> astm
#           -> logging -> config -> platform
# Every `#include "module/..."` in src/<module>/ must name the module itself
# or one of a lower rank. Prints the module graph and the offending lines.
# Also fails on a system header (POSIX, Windows, systemd) outside
# src/platform/<system>/, and on a Cairo, FreeType or fontconfig header
# outside the canvas (src/imaging/UImageCanvas.cpp) and the platform.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A rank=(
  [platform]=0 [config]=1 [logging]=2 [astm]=3 [barcode]=4 [imaging]=5
  [qc]=6 [export]=6 [processing]=7 [service]=8
)

bad=0
edges=""
while IFS= read -r file; do
  from="$(echo "$file" | cut -d/ -f2)"
  [ -n "${rank[$from]+x}" ] || { echo "check-layers: unknown module folder: $file" >&2; bad=1; continue; }
  while IFS= read -r line; do
    to="$(echo "$line" | sed -E 's/.*#include "([a-z]+)\/.*/\1/')"
    [ "$to" = "$from" ] && continue
    if [ -z "${rank[$to]+x}" ] || [ "${rank[$to]}" -ge "${rank[$from]}" ]; then
      echo "check-layers: $file includes upwards or sideways: $line" >&2
      bad=1
    fi
    edges+="$from -> $to"$'\n'
  done < <(grep -E '^#include "[a-z]+/' "$file" || true)
done < <(git ls-files 'src/*.h' 'src/*.cpp')

# System headers belong to one system's platform folder.
system_headers='unistd|fcntl|dirent|dlfcn|spawn|syslog|signal|pthread|poll|fnmatch|pwd|grp|termios|mntent|sys/[a-z_]+|linux/[a-z_]+|systemd/[a-z_-]+|windows|winsvc|winbase|shlobj|io|direct|process'
while IFS= read -r hit; do
  echo "check-layers: system header outside src/platform/<system>/: $hit" >&2
  bad=1
done < <(git ls-files 'src/*.h' 'src/*.cpp' | grep -vE '^src/platform/[a-z]+/' |
  xargs grep -nE "^#include <($system_headers)\.h>" || true)

# The drawing libraries are the canvas's; which font file to load, the platform's.
while IFS= read -r hit; do
  echo "check-layers: drawing library header outside the canvas and the platform: $hit" >&2
  bad=1
done < <(git ls-files 'src/*.h' 'src/*.cpp' |
  grep -vE '^src/imaging/UImageCanvas\.cpp$|^src/platform/' |
  xargs grep -nE '^#include <(cairo[a-z-]*\.h|ft2build\.h|freetype/|fontconfig/)' || true)

printf '%s' "$edges" | sort | uniq -c | awk '{print "  " $2 " " $3 " " $4 "  (" $1 " includes)"}'
if [ "$bad" -ne 0 ]; then
  echo "check-layers: the include graph points upwards, or a header is in the wrong place" >&2
  exit 1
fi
echo "check-layers: every include points down; system and drawing headers stay in their place"
