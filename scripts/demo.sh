#!/usr/bin/env bash
# Runs the service against a generated sample laboratory, end to end:
# installs the dependencies, builds, creates the laboratory (default ./demo),
# puts the executable beside its config.ini, runs it in the console mode until
# every sample result file has been filed (and the expired QC lot reported),
# types "stop", then shows what it produced, each output folder with a word on
# why it looks as it does. While it waits it tells which cycle the service is
# in (the QC lot check comes at the tenth).
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
# The number of the cycle in progress, from the debug log (color_log=1).
cycle() {
  grep -a -o -- '--- Cycle [0-9]*' "$INSTALL/log/debug.log" 2>/dev/null | tail -n 1 |
    grep -o '[0-9]*$' || true
}
# One line each time the cycle changes, saying what is awaited.
shown=""
progress() {
  local c
  c=$(cycle)
  [ -n "$c" ] && [ "$c" != "$shown" ] || return 0
  shown=$c
  if [ "$1" = files ]; then
    echo "  cycle $c — $(pending) fichier(s) resultat en attente"
  else
    echo "  cycle $c/10 — rapport QC au 10e cycle"
  fi
}
deadline=$((SECONDS + 180))
while [ "$(pending)" -gt 0 ] && [ $SECONDS -lt $deadline ] && kill -0 $PID 2>/dev/null; do
  progress files
  sleep 1
done
echo "result files still waiting: $(pending)"
# The QC lot check runs every tenth cycle (50 s with Cycle=5).
while [ -z "$(ls "$LAB/out/qc-reports" 2>/dev/null)" ] && [ -s "$INSTALL/QC/log.txt" ] &&
      [ $SECONDS -lt $deadline ] && kill -0 $PID 2>/dev/null; do
  progress qc
  sleep 1
done

echo stop >&3
exec 3>&-
wait $PID || true
trap - EXIT

step "console"
cat "$LAB/console.txt"

step "outputs"
# show TITLE PATH WHY...: the folder's files (or the file's line count),
# after one line on why it looks as it does.
show() {
  printf '%-28s %s\n' "$1" "$2"
  local why
  for why in "${@:3}"; do echo "  -> $why"; done
  if [ -d "$2" ]; then
    (cd "$2" && find . -maxdepth 2 -type f ! -name '.*' | sort | sed 's|^\./|    |')
  elif [ -f "$2" ]; then
    echo "    $(wc -l <"$2") line(s)"
  fi
}
show "composite pictures" "$LAB/out/images" \
  "vide : la copie reduite (ResizeFactor=33) remplace l'image pleine taille"
show "reduced copies" "$LAB/out/resized" \
  "une image par cassette de patient dont le code-barres est le bon" \
  "260102 VC4102 : bordure jaune (reaction faible) ; 260104 : bordure rouge (resultat signale)"
show "QC pictures" "$LAB/out/qc" \
  "les cassettes de controle qualite, par analyseur"
show "set aside (barcode)" "$INSTALL/log/wrong_images" \
  "echecs du code-barres : 260201 porte celui d'une autre cassette, 260202 n'en a pas"
show "QC log" "$INSTALL/QC/log.txt" \
  "vide : le lot QC perime a ete imprime dans son rapport, puis archive"
show "QC reports" "$LAB/out/qc-reports" \
  "le rapport PDF du lot perime (verifie au 10e cycle)"
show "XML exports" "$LAB/out/xml" \
  "seul le depistage (260103) est exporte en XML"
show "GLIMS upload files" "$LAB/out/glims" \
  "un fichier d'envoi par dossier de patient, qui nomme ses images"
show "filed result files" "$INSTALL/log/done" \
  "chaque fichier resultat, meme UP_garbage.tra (pas un message ASTM : echec classe)" \
  "pour le retraiter, remettre un fichier de log/done dans son dossier d'instrument"
echo "flag files"
echo "  -> processing_error.flag : levee par les echecs du code-barres (260201, 260202)"
for flag in "$INSTALL"/*.flag; do
  [ -e "$flag" ] || { echo "    (none)"; break; }
  echo "    $(basename "$flag"): $(wc -l <"$flag") raise(s)"
done

step "last lines of $INSTALL/log/service.log"
tail -n 30 "$INSTALL/log/service.log" | iconv -f WINDOWS-1252 -t UTF-8

step "status page"
echo "  $INSTALL/status.html  (file://$INSTALL/status.html in a browser)"
