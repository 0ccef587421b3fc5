#!/usr/bin/env bash
# Adds per second into one server archive with one and with four programs
# adding at the same time, for one or more builds of dkl-archive (to compare
# the cost of holding the counters while numbers are taken):
#
#   bench/writers/adds_per_second.sh [-n ADDS] BUILD_DIR...
#
# BUILD_DIR is a build folder holding tools/archive/dkl-archive and
# tools/dkl-mkarchive (for example build/default, and the build of an older
# commit). Each program adds ADDS documents (default 100), one call of
# dkl-archive each, as a user's script does; every add indexes its file. The
# builds take turns on the same server, started here with
# scripts/pg_server.sh and removed at the end; every round gets a fresh
# archive. Prints one line per build and number of programs, with the calls
# that failed, the documents stored and the words stored twice.
set -euo pipefail

adds=100
if [ "${1:-}" = -n ]; then
  adds=$2
  shift 2
fi
[ $# -ge 1 ] || {
  echo "usage: $0 [-n ADDS] BUILD_DIR..." >&2
  exit 2
}

root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/dk-writers-bench.XXXXXX)
# The server runs as another user when started as root.
chmod 755 "$work"
server=$work/server
cleanup() {
  "$root/scripts/pg_server.sh" stop "$server" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
"$root/scripts/pg_server.sh" start "$server" >/dev/null
port=$(cat "$server/port")

mkdir -p "$work/reg" "$work/common" "$work/docs"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tesmarin\\Dokalon\\Settings]\r\n"CommonFilesPath"="%s/common/"\r\n' \
  "$work" >"$work/reg/HKEY_LOCAL_MACHINE.reg"
export DOKALON_REGISTRY_DIR=$work/reg
# Texts that share words new to the archive, as letters (digits split words).
letters() { echo "$1" | tr 0-9 a-j; }
for p in 1 2 3 4; do
  for i in $(seq "$adds"); do
    echo "Gemeinsam neu$(letters "$i") rund$(letters $((i % 7))) eigen$(letters "$p")x$(letters "$i")" \
      >"$work/docs/p${p}_$i.txt"
  done
done

# The builds take turns for each number of programs, so that a change in the
# machine's load between rounds weighs on all of them alike.
round=0
for programs in 1 4; do
  for build in "$@"; do
    build=$(cd "$build" && pwd)
    tool=$build/tools/archive/dkl-archive
    make=$build/tools/dkl-mkarchive
    round=$((round + 1))
    db=bench_$$_$round
    psql_opts=(-h 127.0.0.1 -p "$port" -U postgres -q)
    settings=$work/$db.dkcs
    printf '[AdoConnection]\r\nConnectionString=Provider=PostgreSQL;Data Source=127.0.0.1:%s;Initial Catalog=%s;User ID=postgres\r\n' \
      "$port" "$db" >"$settings"
    # dkl-mkarchive makes the database and its tables.
    "$make" "$settings" >/dev/null
    start=$(date +%s.%N)
    pids=()
    for p in $(seq "$programs"); do
      (
        failed=0
        for i in $(seq "$adds"); do
          "$tool" "$settings" add "$work/docs/p${p}_$i.txt" --type Brief >/dev/null 2>&1 ||
            failed=$((failed + 1))
        done
        exit $failed
      ) &
      pids+=($!)
    done
    failed=0
    for pid in "${pids[@]}"; do
      wait "$pid" || failed=$((failed + $?))
    done
    end=$(date +%s.%N)
    total=$((programs * adds))
    stored=$(psql "${psql_opts[@]}" -d "$db" -At -c "SELECT COUNT(*) FROM DOCUMENT")
    twice=$(psql "${psql_opts[@]}" -d "$db" -At -c \
      "SELECT COUNT(*) FROM (SELECT WORD FROM FTIWORD GROUP BY WORD HAVING COUNT(*) > 1) T")
    awk -v b="$build" -v p="$programs" -v n="$total" -v s="$start" -v e="$end" -v f="$failed" \
      -v st="$stored" -v tw="$twice" \
      'BEGIN { printf "%s: %d Programm(e), %d Adds in %.1f s = %.1f Adds/s (fehlgeschlagen %d, gespeichert %d, doppelte Wörter %d)\n", b, p, n, e - s, n / (e - s), f, st, tw }'
  done
done
