#!/usr/bin/env bash
# The main job: converts the bundled sample version 5 archive into a new
# version 6 SQLite archive. Installs and builds what is missing, makes the
# sample archive and an empty target, runs the conversion and prints where the
# target and its log are, with a short summary.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target arcport5 dkl-mkarchive dkl-mklegacy >/dev/null

bin=build/default
out="$PWD/out/sample"
rm -rf "$out"
mkdir -p "$out/registry" "$out/common"
# The machine settings of this run: the shared data directory (layouts,
# global pick lists, Error.log) lies beside the sample, not in /var/lib.
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tesmarin\\Dokalon\\Settings]\r\n"CommonFilesPath"="%s/common/"\r\n' \
  "$out" >"$out/registry/HKEY_LOCAL_MACHINE.reg"
export DOKALON_REGISTRY_DIR="$out/registry"
# The installation's to-do pick lists, which the archive loads when it opens.
printf 'Anruf\r\nTermin\r\nWiedervorlage\r\n' >"$out/common/todotype.itm"
printf 'Rückruf\r\nUnterlagen prüfen\r\n' >"$out/common/todoname.itm"
printf 'hoch\r\nnormal\r\nniedrig\r\n' >"$out/common/todoprt.itm"

"$bin/tools/mklegacy/dkl-mklegacy" "$out/v5/archiv" >/dev/null
"$bin/tools/dkl-mkarchive" "$out/archiv6.db" >/dev/null
"$bin/src/app/arcport5" "$out/v5/archiv" "$out/archiv6.db" </dev/null

echo
echo "Quelle:     $out/v5/archiv/"
echo "Ziel:       $out/archiv6.db"
echo "Protokoll:  $out/archiv6.log"
echo "Übernommen:"
for t in DOCUMENT DOCVERS TODO DOCPRTCL FTIWORD FTIWID DOCFLD ITEMLISTS; do
  printf '  %-10s %8s Zeilen\n' "$t" "$(sqlite3 "$out/archiv6.db" "SELECT COUNT(*) FROM $t")"
done
printf '  Optionen:  %s\n' "$(sqlite3 "$out/archiv6.db" "SELECT GROUP_CONCAT(OPTNAME, ', ') FROM DBOPTION")"
printf '  Ergebnis:  %s\n' "$(tail -n 1 "$out/archiv6.log" | tr -d '\r')"
