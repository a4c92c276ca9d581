#!/usr/bin/env bash
# Configures and builds one flavour of Lumigrab.
#   build.sh release|sanitize|fuzz [extra cmake args...]
# Build folders: build/release, build/sanitize, build/fuzz.
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
  fuzz)
    cmake -S "$root" -B "$root/build/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DLUMIGRAB_FUZZ=ON "$@" >/dev/null
    cmake --build "$root/build/fuzz" -j"$jobs" --target fuzzers
    ;;
  *)
    echo "usage: build.sh release|sanitize|fuzz" >&2
    exit 2
    ;;
esac
