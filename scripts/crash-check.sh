#!/usr/bin/env bash
# Crash consistency of the service: a sample laboratory of some two hundred result
# files, the service run in the console mode and killed with SIGKILL, started
# again each time, until every result file is filed. Half of the kills come
# at a random moment, half just after an upload file or a QC reading
# appeared (the moment a crash costs most: the output is made, the result
# not yet filed). Then what the laboratory is promised is checked: no result
# file lost or filed twice, every result filed with its outputs, no QC
# reading and no upload file made twice, nothing empty or torn under a final
# name, every QC log line with its 20 fields. Bounded (under three minutes).
# Exit status 0 when everything holds, 1 otherwise (the laboratory is then
# kept for a look).
#
#   scripts/crash-check.sh [SEED]      (default: CRASH_SEED, else a fixed seed)
#
# It builds the default preset first, unless VELMAR_BUILD_DIR names a build
# folder whose program and sample laboratory it is to use as they are (ctest
# runs it so, as the test check.crash).
#
# With VELMAR_WINDOWS_BUILD naming a Windows build folder, the program killed
# is the Windows one, run under Wine (WINEPREFIX, with a wineserver already
# running: scripts/windows-check.sh sets it up) with the barcode library and
# the Ghostscript stand-in beside it; the sample laboratory is the Linux
# build's. SIGKILL ends the Windows process itself (wine execs into it), and
# the wineserver then closes whatever it held.
#
# The choice and the moments of the kills come from bash's RANDOM seeded with
# SEED, printed first, so that a failing run can be replayed.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$(pwd)

SEED="${1:-${CRASH_SEED:-20261209}}"
COPIES=23         # extra copies of each sample result file (24 x 8 = 192 files)
MAX_KILLS=60
KILL_PHASE_S=100  # no kill after this many seconds: the last run finishes the work
DEADLINE_S=150    # then the last run is stopped, whatever is left (the build not counted)

echo "crash-check: seed $SEED"
RANDOM=$SEED

if [ -n "${VELMAR_BUILD_DIR:-}" ]; then
  BUILD=$(cd "$VELMAR_BUILD_DIR" && pwd)
else
  cmake --preset default >/dev/null
  cmake --build --preset default --target VelmarImageService samplelab >/dev/null
  BUILD="$REPO/build/default"
fi
SECONDS=0

WORK=$(mktemp -d "${TMPDIR:-/tmp}/crash-check-XXXXXX")
LAB="$WORK/lab"
"$BUILD/samplelab" "$LAB" >/dev/null
INSTALL="$LAB/install"
OUT="$LAB/out"
if [ -n "${VELMAR_WINDOWS_BUILD:-}" ]; then
  WINDOWS_BUILD=$(cd "$VELMAR_WINDOWS_BUILD" && pwd)
  cp "$WINDOWS_BUILD/VelmarImageService.exe" "$WINDOWS_BUILD/libzbar-0.dll" \
    "$WINDOWS_BUILD/gswin64c.exe" "$INSTALL/"
  SERVICE=(wine VelmarImageService.exe)
  echo "crash-check: the Windows program, under Wine"
else
  cp "$BUILD/VelmarImageService" "$INSTALL/"
  SERVICE=(./VelmarImageService)
fi

# --- A few dozen result files: copies of the sample's, each with a sample
# identifier of its own (so its pictures, QC readings and upload file have
# names of their own), the photographs shared.
sample_id() { awk -F'|' '/^O\|/ { print $3; exit }' "$1"; }
for tra in "$LAB"/instruments/*/tra/*.tra; do
  sid=$(sample_id "$tra")
  for i in $(seq 1 $COPIES); do
    copy="${tra%.tra}c$i.tra"
    if [ -n "$sid" ]; then
      sed "s/^O|1|$sid|/O|1|${sid}C$i|/" "$tra" >"$copy"
    else
      cp "$tra" "$copy"  # not a message: filed as it is
    fi
  done
done
mkdir -p "$WORK/sources"
cp "$LAB"/instruments/*/tra/*.tra "$WORK/sources/"
TOTAL=$(find "$WORK/sources" -name '*.tra' | wc -l)

# --- The runs. The console reads its commands from a FIFO held open here,
# so that every run, however it ended, can be followed by another.
FIFO="$WORK/console.fifo"
mkfifo "$FIFO"
PID=""
start_service() {
  (cd "$INSTALL" && exec "${SERVICE[@]}" -debug <"$FIFO" >>"$WORK/console.txt" 2>&1) &
  PID=$!
}
cleanup() {
  if [ -n "$PID" ] && kill -0 "$PID" 2>/dev/null; then kill -KILL "$PID" 2>/dev/null || true; fi
}
trap cleanup EXIT
pending() { find "$LAB/instruments" -name '*.tra' | wc -l; }
# Waiting for an output is a tight loop of shell builtins: the service files
# the result a few milliseconds after its upload file appears. Reads on a
# FIFO that nobody writes only time out: a pause without a process.
mkfifo "$WORK/tick.fifo"
exec 4<>"$WORK/tick.fifo"
nap() { read -r -t "$1" -u 4 _ || true; }
count_uploads() {
  shopt -s nullglob
  local files=("$OUT"/glims/*.UPL)
  shopt -u nullglob
  UPLOADS=${#files[@]}
}
# Returns once an upload file or a QC reading appeared (4 s at most).
wait_for_output() {
  touch "$WORK/mark"
  count_uploads
  local before=$UPLOADS
  for _ in $(seq 1 800); do
    count_uploads
    [ "$UPLOADS" -eq "$before" ] || return 0
    [ ! "$INSTALL/QC/log.txt" -nt "$WORK/mark" ] || return 0
    nap 0.005
  done
}

start_service
exec 3>"$FIFO"
kills=0
while [ "$(pending)" -gt 0 ] && [ $kills -lt $MAX_KILLS ] && [ $SECONDS -lt $KILL_PHASE_S ]; do
  if [ $((RANDOM % 2)) -eq 0 ]; then
    ms=$((RANDOM % 1300 + 200))
    sleep "$((ms / 1000)).$(printf '%03d' $((ms % 1000)))"
  else
    wait_for_output
  fi
  kill -KILL "$PID" 2>/dev/null || true
  wait "$PID" 2>/dev/null || true
  kills=$((kills + 1))
  start_service
done
while [ "$(pending)" -gt 0 ] && [ $SECONDS -lt $DEADLINE_S ] && kill -0 "$PID" 2>/dev/null; do
  sleep 1
done
if kill -0 "$PID" 2>/dev/null; then echo stop >&3; fi
for _ in $(seq 1 20); do
  kill -0 "$PID" 2>/dev/null || break
  sleep 1
done
cleanup
wait "$PID" 2>/dev/null || true
exec 3>&- 4>&-

# --- The checks.
DONE="$INSTALL/log/done"
WRONG="$INSTALL/log/wrong_images"
QCLOG="$WORK/qc-log.txt"
if [ -f "$INSTALL/QC/log.txt" ]; then tr -d '\r' <"$INSTALL/QC/log.txt" >"$QCLOG"; else : >"$QCLOG"; fi
problems=()
note() { problems+=("$*"); }

waiting=$(pending)
lost=0
for src in "$WORK"/sources/*.tra; do
  name=$(basename "$src")
  if ! cmp -s "$src" "$DONE/$name"; then
    lost=$((lost + 1))
    note "not filed whole: $name"
  fi
done
filed_twice=0
for filed in "$DONE"/*; do
  [ -e "$filed" ] || continue
  if [ ! -e "$WORK/sources/$(basename "$filed")" ]; then
    filed_twice=$((filed_twice + 1))
    note "a second copy in done: $(basename "$filed")"
  fi
done

# Outputs expected of each result file: one picture per cassette (shown,
# reduced or set aside), an upload file per patient sample, a QC reading
# per well of a QC message, an XML document per screening panel.
pictures() {
  find "$OUT/images" "$OUT/resized" "$OUT/qc" "$WRONG" -type f -name "$1_*" ! -name '.*' | wc -l
}
without_outputs=0
for src in "$WORK"/sources/*.tra; do
  name=$(basename "$src")
  sid=$(sample_id "$src")
  [ -n "$sid" ] || continue
  missing=""
  cassettes=$(tr -d '\r' <"$src" | awk -F'|' '/^M\|/ { split($4, c, "^"); print c[3] }' | sort -u |
    wc -l)
  [ "$(pictures "$sid")" -ge "$cassettes" ] || missing+=" pictures"
  if [[ "$sid" == [Qq][Cc]* ]]; then  # a QC message, as the service tells them
    wells=$(grep -c '^M|' "$src")
    readings=$(awk -F'|' -v s="$sid" '$3 == s' "$QCLOG" | wc -l)
    [ "$readings" -ge "$wells" ] || missing+=" QC-readings"
  else
    [ -e "$OUT/glims/LIS${sid}_0.UPL" ] || missing+=" upload-file"
  fi
  # Wells of the screening panel's reagents ("0.8-Surg1" ...): an XML document.
  if grep -q '^M|[^|]*|[^|]*Surg' "$src" && [ ! -e "$OUT/xml/$name" ]; then missing+=" XML"; fi
  if [ -n "$missing" ]; then
    without_outputs=$((without_outputs + 1))
    note "filed without its outputs (${missing# }): $name"
  fi
done

# A reading recorded twice is the same line but for its time (first field).
dup_readings=$(($(wc -l <"$QCLOG") - $(cut -d'|' -f2- "$QCLOG" | sort -u | wc -l)))
while read -r count sample; do
  note "QC readings of $sample recorded more than once: $count extra"
done < <(cut -d'|' -f2- "$QCLOG" | sort | uniq -c |
  awk '$1 > 1 { split($0, f, "|"); extra[f[2]] += $1 - 1 } END { for (s in extra) print extra[s], s }' |
  sort -k2)
bad_qc_lines=$(awk -F'|' 'NF != 20' "$QCLOG" | wc -l)
[ "$bad_qc_lines" -eq 0 ] || note "QC log lines without 20 fields: $bad_qc_lines"
uploads=$(find "$OUT/glims" -name '*.UPL' ! -name '.*' | wc -l)
upload_samples=$(find "$OUT/glims" -name '*.UPL' ! -name '.*' -printf '%f\n' | sed 's/_[0-9]*\.UPL$//' |
  sort -u | wc -l)
dup_uploads=$((uploads - upload_samples))
while read -r count sample; do
  note "$count upload files for $sample"
done < <(find "$OUT/glims" -name '*.UPL' ! -name '.*' -printf '%f\n' | sed 's/_[0-9]*\.UPL$//' |
  sort | uniq -c | awk '$1 > 1')

# Files under a final name: none empty, none torn.
torn=0
while IFS= read -r -d '' file; do
  bad=""
  if [ ! -s "$file" ]; then
    bad="empty"
  else
    case "$file" in
      *.UPL)
        { [ "$(head -c 2 "$file")" = "H|" ] && [ "$(tail -c 5 "$file" | tr -d '\r')" = "L||" ]; } ||
          bad="torn upload file"
        ;;
      */xml/*) xmllint --noout "$file" 2>/dev/null || bad="XML not well formed" ;;
      *.pdf) [ "$(head -c 4 "$file")" = "%PDF" ] && tail -c 64 "$file" | grep -q '%%EOF' ||
        bad="torn PDF" ;;
    esac
  fi
  if [ -n "$bad" ]; then
    torn=$((torn + 1))
    note "$bad: ${file#"$LAB"/}"
  fi
done < <(find "$OUT" "$DONE" "$WRONG" "$INSTALL/QC" -type f ! -name '.*' -print0)
# Pictures: a JPEG stream from its start marker through its segments to the
# scan and its end marker (what a truncated or half-written file lacks).
torn_pictures=$(find "$OUT" "$WRONG" -type f -name '*.jpg' ! -name '.*' -print0 | xargs -0 -r python3 -c '
import struct, sys
for path in sys.argv[1:]:
    data = open(path, "rb").read()
    ok = data[:2] == b"\xff\xd8" and data[-2:] == b"\xff\xd9"
    at, scan = 2, False
    while ok and at + 4 <= len(data):
        if data[at] != 0xFF:
            ok = False
        elif data[at + 1] == 0xDA:
            scan = True
            break
        else:
            at += 2 + struct.unpack(">H", data[at + 2:at + 4])[0]
    if not (ok and scan):
        print(path)
')
if [ -n "$torn_pictures" ]; then
  while IFS= read -r file; do
    torn=$((torn + 1))
    note "undecodable picture: ${file#"$LAB"/}"
  done <<<"$torn_pictures"
fi

echo "crash-check: $TOTAL result files, $kills kill(s), ${SECONDS}s"
printf '  %-40s %d\n' \
  "result files lost or not whole" "$lost" \
  "result files still waiting" "$waiting" \
  "result files filed twice" "$filed_twice" \
  "results filed without their outputs" "$without_outputs" \
  "QC readings recorded twice" "$dup_readings" \
  "upload files made twice" "$dup_uploads" \
  "empty or torn files under a final name" "$torn" \
  "QC log lines without 20 fields" "$bad_qc_lines"
if [ ${#problems[@]} -eq 0 ]; then
  rm -rf "$WORK"
  echo "crash-check: passed (seed $SEED)"
  exit 0
fi
printf '    %s\n' "${problems[@]}" | head -n 40
echo "crash-check: FAILED (seed $SEED; laboratory kept in $WORK)"
exit 1
