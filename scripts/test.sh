#!/usr/bin/env bash
# The one test command: installs what is missing, builds the normal and the
# sanitizer preset and runs every test of both, then the index worker's tests
# under ThreadSanitizer and a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
# The PostgreSQL tests run against the server the test run starts itself
# (scripts/pg_server.sh, a CTest fixture): without it they fail, not skip.
export DK_REQUIRE_PG=1
for preset in default asan; do
  echo "== $preset ==" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
# The index worker's threads under ThreadSanitizer: only the test program of
# the database components, only its indexer and worker tests.
echo "== tsan (index worker) ==" >&2
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target db_tests
DK_FTI_STRESS_OPERATIONS=300 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  build/tsan/tests/db/db_tests --gtest_filter='FullTextRetrievalTest.*:UpdateFtiThreadTest.*'
# Every fuzz target briefly (clang, libFuzzer): the kept regression inputs,
# then a short run from the seed corpora. Longer runs: scripts/fuzz.sh.
echo "== fuzz ==" >&2
bash scripts/fuzz.sh "${DK_FUZZ_SECONDS:-15}"
