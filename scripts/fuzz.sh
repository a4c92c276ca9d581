#!/usr/bin/env bash
# Runs every fuzz target of build/fuzz for FUZZ_SECONDS (default 30) each,
# two at a time, starting from the seed corpus in fuzz/corpus/NAME when
# there is one. Fails when any target reports a crash, leak or hang.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${FUZZ_SECONDS:-30}"
out="$root/build/fuzz/runs"
mkdir -p "$out"

run_one() {
  local binary="$1" name
  name="$(basename "$binary")"
  local work="$out/$name"
  rm -rf "$work" && mkdir -p "$work/corpus"
  local seeds=()
  [[ -d "$root/fuzz/corpus/$name" ]] && seeds=("$root/fuzz/corpus/$name")
  if "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
      -artifact_prefix="$work/" -print_final_stats=1 "$work/corpus" "${seeds[@]}" >"$work/log" 2>&1; then
    echo "fuzz: $name ok ($(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$work/log" | grep -o '[0-9]*$') runs)"
  else
    echo "fuzz: $name FAILED"
    tail -40 "$work/log"
    return 1
  fi
}
export -f run_one
export root seconds out

targets=$(find "$root/build/fuzz/fuzz" -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x | sort)
if [[ -z "$targets" ]]; then
  echo "fuzz: no targets built" >&2
  exit 1
fi
echo "$targets" | xargs -P 2 -I{} bash -c 'run_one {}'
