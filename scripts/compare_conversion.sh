#!/usr/bin/env bash
# Black-box comparison of two versions of the converter: converts the same
# generated legacy archive with the program built from BASE (a commit, by
# default where this branch left main) and with this tree's program, and
# compares what a user gets: the target's tables and rows (with the table
# definitions and the field definitions in them), the log file, the summary
# on the terminal, the files written to the shared data directory and
# Error.log. Stamps of the run (date and time, the run's own day in the
# target), durations and GUIDs made during the run are masked; everything
# else must be byte-identical.
#
#   bash scripts/compare_conversion.sh [BASE]
#
# BASE is built in its own worktree below ${TMPDIR:-/tmp}, outside this tree;
# a second run reuses it. BASE_TREE names a worktree of BASE built before
# (its build/default is used as it is). Exit status 0 when both agree, 1 with a diff when
# not.
set -euo pipefail
cd "$(dirname "$0")/.."
here="$PWD"
base="${1:-$(git merge-base HEAD main)}"
base="$(git rev-parse --verify "$base^{commit}")"
tmp="${TMPDIR:-/tmp}"
basetree="${BASE_TREE:-$tmp/arcport5-base-${base:0:12}}"
[ -z "${BASE_TREE:-}" ] || base="$(git -C "$BASE_TREE" rev-parse HEAD)"
work="$(mktemp -d "$tmp/arcport5-compare.XXXXXX")"
trap 'rm -rf "$work"' EXIT

if [ ! -d "$basetree" ]; then
  git worktree add --detach "$basetree" "$base" >/dev/null
fi
# The samples beside the source tree, where the build expects them.
[ -e "$basetree/../shared" ] || ln -s "$here/../shared" "$basetree/../shared" 2>/dev/null || true
trees=("$here")
[ -n "${BASE_TREE:-}" ] || trees+=("$basetree")
for tree in "${trees[@]}"; do
  (cd "$tree" && cmake --preset default >/dev/null &&
    cmake --build --preset default -j "$(nproc)" --target arcport5 dkl-mkarchive dkl-mklegacy >/dev/null)
done

bin="$here/build/default"
"$bin/tools/mklegacy/dkl-mklegacy" "$work/v5/archiv" >/dev/null

# Runs one program in a fresh sandbox at always the same path (paths appear in
# the log) and keeps what it produced in $work/$1.
convert() {
  local side="$1" program="$2" run="$work/run"
  rm -rf "$run"
  mkdir -p "$run/registry" "$run/common" "$run/out"
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tesmarin\\Dokalon\\Settings]\r\n"CommonFilesPath"="%s/common/"\r\n' \
    "$run" >"$run/registry/HKEY_LOCAL_MACHINE.reg"
  printf 'Anruf\r\nTermin\r\nWiedervorlage\r\n' >"$run/common/todotype.itm"
  "$bin/tools/dkl-mkarchive" "$run/out/archiv6.db" >/dev/null
  local status=0
  DOKALON_REGISTRY_DIR="$run/registry" "$program" "$work/v5/archiv" "$run/out/archiv6.db" \
    </dev/null >"$run/stdout.txt" 2>"$run/stderr.txt" || status=$?
  echo "exit status $status" >>"$run/stdout.txt"
  mkdir -p "$work/$side"
  sqlite3 "$run/out/archiv6.db" .dump >"$work/$side/target.sql"
  cp "$run/out/archiv6.log" "$work/$side/archiv6.log"
  cp "$run/stdout.txt" "$run/stderr.txt" "$work/$side/"
  (cd "$run/common" && find . -type f | sort | while read -r f; do
    echo "== $f"
    cat "$f"
  done) >"$work/$side/common.txt"
}
convert before "$basetree/build/default/src/app/arcport5"
convert after "$bin/src/app/arcport5"

# Masks the run's stamps and durations; a GUID only where it is one of the two
# runs' own (made during the run): a GUID copied from the source is the same
# in both and stays.
mask() {
  python3 - "$1" "$2" "$(date +%Y-%m-%d)" <<'PY'
import re, sys
mine, other, today = open(sys.argv[1], encoding="utf-8", errors="replace").read(), \
    open(sys.argv[2], encoding="utf-8", errors="replace").read(), sys.argv[3]
guid = re.compile(r"\{?[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}?")
shared = set(guid.findall(mine)) & set(guid.findall(other))
text = guid.sub(lambda m: m.group(0) if m.group(0) in shared else "<GUID>", mine)
text = re.sub(r"\d{2}\.\d{2}\.\d{4} \d{2}:\d{2}(:\d{2})?", "<STAMP>", text)
text = re.sub(re.escape(today) + r"[ T][0-9:.]+", "<STAMP>", text)
text = re.sub(r"\b\d+([.,]\d+)? *(ms|s|Sek(unden)?|Min(uten)?)\b", "<DURATION>", text)
text = re.sub(r"\bnach \d+:\d\d(:\d\d)?\b", "nach <DURATION>", text)
sys.stdout.write(text)
PY
}
status=0
for f in target.sql archiv6.log stdout.txt stderr.txt common.txt; do
  if ! diff -u <(mask "$work/before/$f" "$work/after/$f") <(mask "$work/after/$f" "$work/before/$f") >"$work/$f.diff"; then
    echo "DIFFERENT: $f" >&2
    head -n 40 "$work/$f.diff" >&2
    status=1
  fi
done
if [ "$status" -eq 0 ]; then
  echo "same: $(grep -c '^INSERT' "$work/after/target.sql") rows, $(wc -l <"$work/after/archiv6.log") log lines," \
    "$(grep -c '^CREATE' "$work/after/target.sql") table and index definitions, base ${base:0:12}"
fi
exit "$status"
