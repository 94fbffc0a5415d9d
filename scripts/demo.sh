#!/usr/bin/env bash
# Runs the service against a generated sample laboratory, end to end:
# installs the dependencies, builds, creates the laboratory (default ./demo),
# puts the executable beside its config.ini, runs it in the console mode until
# every sample result file has been filed (and the expired QC lot reported),
# types "stop", then shows what it produced.
#
#   scripts/demo.sh [FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$(pwd)
LAB="${1:-./demo}"

step() { printf '\n=== %s ===\n' "$*"; }

step "dependencies"
scripts/setup-deps.sh

step "build"
cmake --preset default >/dev/null
cmake --build --preset default --target VelmarImageService samplelab

step "sample laboratory in $LAB"
if [ -e "$LAB" ]; then
  if [ -f "$LAB/install/config.ini" ] && [ -d "$LAB/instruments" ]; then
    rm -rf "$LAB"   # an earlier demo
  elif [ -n "$(ls -A "$LAB" 2>/dev/null)" ]; then
    echo "demo: $LAB exists and is not an earlier demo; choose another folder" >&2
    exit 1
  fi
fi
"$REPO/build/default/samplelab" "$LAB"
LAB=$(cd "$LAB" && pwd)
INSTALL="$LAB/install"
cp "$REPO/build/default/VelmarImageService" "$INSTALL/"

step "running VelmarImageService -debug (Ctrl+C aborts)"
FIFO=$(mktemp -u)
mkfifo "$FIFO"
(cd "$INSTALL" && exec ./VelmarImageService -debug <"$FIFO" >"$LAB/console.txt" 2>&1) &
PID=$!
exec 3>"$FIFO"
rm -f "$FIFO"
trap 'kill $PID 2>/dev/null || true' EXIT

pending() { find "$LAB/instruments" -name '*.tra' | wc -l; }
deadline=$((SECONDS + 180))
while [ "$(pending)" -gt 0 ] && [ $SECONDS -lt $deadline ] && kill -0 $PID 2>/dev/null; do
  sleep 1
done
echo "result files still waiting: $(pending)"
# The QC lot check runs every tenth cycle (50 s with Cycle=5).
while [ -z "$(ls "$LAB/out/qc-reports" 2>/dev/null)" ] && [ -s "$INSTALL/QC/log.txt" ] &&
      [ $SECONDS -lt $deadline ] && kill -0 $PID 2>/dev/null; do
  sleep 1
done

echo stop >&3
exec 3>&-
wait $PID || true
trap - EXIT

step "console"
cat "$LAB/console.txt"

step "outputs"
show() {
  printf '%-28s %s\n' "$1" "$2"
  if [ -d "$2" ]; then
    (cd "$2" && find . -maxdepth 2 -type f ! -name '.*' | sort | sed 's|^\./|    |')
  elif [ -f "$2" ]; then
    echo "    $(wc -l <"$2") line(s)"
  fi
}
show "composite pictures" "$LAB/out/images"
show "reduced copies" "$LAB/out/resized"
show "QC pictures" "$LAB/out/qc"
show "set aside (barcode)" "$INSTALL/log/wrong_images"
show "QC log" "$INSTALL/QC/log.txt"
show "QC reports" "$LAB/out/qc-reports"
show "XML exports" "$LAB/out/xml"
show "GLIMS upload files" "$LAB/out/glims"
show "filed result files" "$INSTALL/log/done"
echo "flag files"
for flag in "$INSTALL"/*.flag; do
  [ -e "$flag" ] || { echo "    (none)"; break; }
  echo "    $(basename "$flag"): $(wc -l <"$flag") raise(s)"
done

step "last lines of $INSTALL/log/service.log"
tail -n 30 "$INSTALL/log/service.log" | iconv -f WINDOWS-1252 -t UTF-8
