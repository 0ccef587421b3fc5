#!/usr/bin/env bash
# The one test command: installs what is missing, builds the normal and the
# sanitizer preset and runs every test of both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
for preset in default asan; do
  echo "== $preset ==" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
