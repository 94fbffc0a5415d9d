#!/usr/bin/env bash
# Writes the seeds of status_fuzzer (status files of a running, a starting
# and a stopped service) and its dictionary into the folder given:
# FOLDER/seeds/ and FOLDER/dict.
set -euo pipefail
out="$1"
mkdir -p "$out/seeds"

# The fuzzer's clock stands at 09/12/2025 12:00:00.
printf '%s\n' 'etat=en marche' 'mise_a_jour=09/12/2025 11:59:40' 'cycle=42' 'cycle_heure=11:59:40' \
  'cycle_secondes=30' 'delai_demarrage=10' 'fichiers_en_attente=0' 'fichiers_traites=12' \
  'fichiers_en_echec=0' 'dernier_fichier=UP_260101.tra' 'dernier_fichier_heure=11:58:00' \
  'instrument_1=accessible /lab/instruments/velmar1/tra' \
  'instrument_2=inaccessible //srv/share/tra' 'drapeaux=' >"$out/seeds/running.txt"
printf '%s\r\n' 'etat=démarrage' 'mise_a_jour=09/12/2025 11:59:00' 'cycle=0' 'cycle_secondes=3600' \
  'delai_demarrage=300' 'fichiers_en_echec=2' >"$out/seeds/starting.txt"
printf '%s\n' 'etat=arrêté' 'mise_a_jour=01/01/2025 00:00:00' >"$out/seeds/stopped.txt"

cat >"$out/dict" <<'DICT'
"="
"etat="
"mise_a_jour="
"cycle="
"cycle_secondes="
"delai_demarrage="
"fichiers_en_echec="
"instrument_"
"accessible"
"inaccessible"
"en marche"
"arr\xc3\xaat\xc3\xa9"
"09/12/2025 12:00:00"
"2147483648"
DICT
