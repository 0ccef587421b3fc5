#!/bin/sh
# The share of the time of `dkl-archive add` of a PDF that is spent outside
# pdftotext. Wall times on a shared machine swing with its load, so the
# figures are CPU times (user + system): pdftotext alone on the PDF, `add` of
# the PDF (its own work plus the waited-for pdftotext), and `add` of the text
# pdftotext made, which is the work outside pdftotext (reading at most
# FtiMaxFileSize MB, the words, the index worker, the archive).
# Usage: bench/text/pdf_share.sh FILE.pdf [BUILD_DIR]   (run by hand; needs
# poppler-utils and GNU time, /usr/bin/time)
set -eu
pdf=$(realpath "$1")
build=$(realpath "${2:-build/default}")
work=$(mktemp -d "${TMPDIR:-/tmp}/dkl-pdf-share-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/reg" "$work/common"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tesmarin\\Dokalon\\Settings]\r\n"CommonFilesPath"="%s/common/"\r\n' "$work" >"$work/reg/HKEY_LOCAL_MACHINE.reg"
export DOKALON_REGISTRY_DIR="$work/reg"
"$build/tools/dkl-mkarchive" "$work/a.db" >/dev/null
cpu() { /usr/bin/time -f '%U %S' "$@" 2>&1 >/dev/null | tail -1 | awk '{ print $1 + $2 }'; }
echo "PDF: $pdf ($(stat -c %s "$pdf") bytes)"
for round in 1 2 3; do
  conv=$(cpu pdftotext -eol dos "$pdf" "$work/text.txt")
  cp "$pdf" "$work/doc$round.pdf"
  cp "$work/text.txt" "$work/doc$round.txt"
  addpdf=$(cpu "$build/tools/archive/dkl-archive" "$work/a.db" add "$work/doc$round.pdf" --type Brief)
  addtxt=$(cpu "$build/tools/archive/dkl-archive" "$work/a.db" add "$work/doc$round.txt" --type Brief)
  awk -v c="$conv" -v p="$addpdf" -v t="$addtxt" 'BEGIN {
    printf "round %d: pdftotext %.2f s, add of the PDF %.2f s, add of its text %.2f s, share outside pdftotext %.1f%%\n",
      '"$round"', c, p, t, 100 * t / (t + c) }'
done
