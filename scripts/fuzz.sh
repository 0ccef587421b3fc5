#!/usr/bin/env bash
# Builds the fuzz targets (preset fuzz: clang, libFuzzer, AddressSanitizer and
# UBSan), makes their seed corpora and runs each for a bounded time.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 60); without targets every one runs. First the
# kept regression inputs of fuzz/regressions/<target>/ are replayed, then the
# target runs on its corpus in build/fuzz/corpus/<target>/ (grown by every
# run). A crash, leak, sanitizer report or time-out (10 s for one input) ends
# the script with status 1 and leaves the input in build/fuzz/crashes/<target>/;
# keep it in fuzz/regressions/<target>/ once the fault is mended.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
all=(paradox_fuzz ini_fuzz hive_fuzz side_files_fuzz rtf_fuzz html_fuzz)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")

# clang and its sanitizer and fuzzer runtime, when missing.
missing=()
for p in clang libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq >/dev/null || true
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target fuzz_targets dkl-mklegacy >&2

out=build/fuzz
generated=$out/generated/v5/archiv
if [ ! -d "$generated" ]; then
  rm -rf "$out/generated"
  "$out/tools/mklegacy/dkl-mklegacy" --documents 12 --ftiword 40 --ftiwid 60 "$generated" >/dev/null
fi
python3 scripts/fuzz_seeds.py "$out/corpus" ../shared/paradox-samples "$generated"

status=0
for target in "${targets[@]}"; do
  bin=$out/fuzz/$target
  crashes=$out/crashes/$target
  mkdir -p "$crashes" "$out/corpus/$target"
  if [ -d "fuzz/regressions/$target" ] && [ -n "$(ls -A "fuzz/regressions/$target")" ]; then
    "$bin" -runs=1 "fuzz/regressions/$target"/* >"$out/$target.regressions.log" 2>&1 || {
      echo "fuzz: $target: a kept regression input fails again, see $out/$target.regressions.log" >&2
      status=1
      continue
    }
  fi
  log=$out/$target.log
  # Small inputs run fast and reach the same code; tables need a few blocks.
  maxlen=16384
  [ "$target" = paradox_fuzz ] && maxlen=131072
  if "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=$maxlen \
      -print_final_stats=1 -artifact_prefix="$crashes/" "$out/corpus/$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    printf 'fuzz: %-16s %10s runs in %s s, %6s/s, coverage %s edges, %s features, corpus %s\n' \
      "$target" "$runs" "$seconds" "$rate" "$cov" "$ft" "$(ls "$out/corpus/$target" | wc -l)"
  else
    echo "fuzz: $target FAILED, input in $crashes/, log $log:" >&2
    grep -E "ERROR|SUMMARY|==[0-9]+==" "$log" | head -5 >&2
    status=1
  fi
done
exit $status
