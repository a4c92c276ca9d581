#!/usr/bin/env bash
# Builds Lumigrab and runs the whole test suite: the release build's tests
# (with a private INN2 news server on loopback), the same tests under the
# address and undefined-behaviour sanitizers, the connection pool's tests
# under the thread sanitizer, and every fuzz target.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/setup.sh
export LUMIGRAB_REQUIRE_INN="${LUMIGRAB_REQUIRE_INN:-1}"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"

summary="$(mktemp)"
trap 'rm -f "$summary"' EXIT

# Runs ctest on one build folder, keeping its closing line for the summary.
run_ctest() {
  local folder="$1"
  shift
  ctest --test-dir "$folder" --output-on-failure -j2 "$@" | tee -a "$summary" |
    grep -vE '^ +Start |^[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' || true
  grep -q "tests passed, 0 tests failed" <(tail -n 40 "$summary")
}

echo "== release build and tests"
bash scripts/build.sh release
run_ctest build/release --timeout 300

echo "== sanitizer build and tests"
bash scripts/build.sh sanitize
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  run_ctest build/sanitize --timeout 600

echo "== thread sanitizer: the connection pool's tests"
bash scripts/build.sh tsan
TSAN_OPTIONS="halt_on_error=1:history_size=7:suppressions=$root/tests/tsan.supp" \
  run_ctest build/tsan --timeout 600 -R "FetchPool|PoolHarvest|SplitWalk|PooledFill"

echo "== fuzzing"
bash scripts/build.sh fuzz
bash scripts/fuzz.sh | tee -a "$summary"

passed=$(grep -oE '[0-9]+ tests failed out of [0-9]+' "$summary" | awk '{s += $NF} END {print s + 0}')
fuzzed=$(grep -c '^fuzz: .* ok' "$summary" || true)
echo "$((passed + fuzzed)) passed, 0 failed"
