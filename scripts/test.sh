#!/usr/bin/env bash
# Builds Lumigrab and runs the whole test suite: the release build's tests
# (with a private INN2 news server on loopback), the same tests under the
# address and undefined-behaviour sanitizers, and every fuzz target.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/setup.sh
export LUMIGRAB_REQUIRE_INN="${LUMIGRAB_REQUIRE_INN:-1}"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"

echo "== release build and tests"
bash scripts/build.sh release
ctest --test-dir build/release --output-on-failure -j2 --timeout 300

echo "== sanitizer build and tests"
bash scripts/build.sh sanitize
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  ctest --test-dir build/sanitize --output-on-failure -j2 --timeout 600

echo "== fuzzing"
bash scripts/build.sh fuzz
bash scripts/fuzz.sh
echo "== all tests passed"
