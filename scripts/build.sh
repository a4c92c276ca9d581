#!/usr/bin/env bash
# Configures and builds one flavour of Lumigrab.
#   build.sh release|sanitize|tsan|fuzz [extra cmake args...]
# Build folders: build/release, build/sanitize, build/tsan, build/fuzz.
# tsan builds only the connection pool's tests, the multi-part join's (whose
# parts several threads join) and the harvest tool they run under the
# thread sanitizer.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
flavour="${1:-release}"
shift || true
jobs="$(nproc)"

case "$flavour" in
  release)
    cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
    cmake --build "$root/build/release" -j"$jobs"
    ;;
  sanitize)
    cmake -S "$root" -B "$root/build/sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMIGRAB_SANITIZE=ON \
      -DLUMIGRAB_BUILD_BENCH=OFF "$@" >/dev/null
    cmake --build "$root/build/sanitize" -j"$jobs"
    ;;
  tsan)
    cmake -S "$root" -B "$root/build/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMIGRAB_TSAN=ON \
      -DLUMIGRAB_BUILD_BENCH=OFF "$@" >/dev/null
    cmake --build "$root/build/tsan" -j"$jobs" --target fetchpool_test fetchpool_integration_test pooledjoin_test harvestrun_test lumigrab-harvest
    ;;
  fuzz)
    cmake -S "$root" -B "$root/build/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DLUMIGRAB_FUZZ=ON "$@" >/dev/null
    cmake --build "$root/build/fuzz" -j"$jobs" --target fuzzers
    ;;
  *)
    echo "usage: build.sh release|sanitize|tsan|fuzz" >&2
    exit 2
    ;;
esac
