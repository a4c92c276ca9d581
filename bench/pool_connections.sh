#!/bin/bash
# lumigrab-harvest with 1, 2, 4 and 8 connections side by side, across a
# network like a news provider's: a private INN2 on 127.0.0.1 that this
# script starts (and stops), reached through a proxy of its own that delays
# every chunk by DELAY_MS in each direction and carries at most RATE_KBPS
# kilobytes a second per connection. Run as root with INN2 installed
# (tests/news/inn/install-inn2.sh) and a Release build:
#
#   bench/pool_connections.sh BUILD_DIR [PORT] [DELAY_MS] [RATE_KBPS] [RUNS]
#
# Each run harvests PICTURES yEnc picture articles of BYTES each into an
# empty folder (the whole command: connect, walk, fetch, decode, write);
# the table shows the mean of RUNS runs, the tool's CPU time (user +
# system) and each count's time against one connection's. A second table
# does the same for POSTS multi-part posts of PARTS parts of BYTES each
# (the same number of articles and bytes), whose parts the pooled
# connections fetch side by side and join. Every count must keep the same
# pictures, byte for byte.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:?usage: $0 BUILD_DIR [PORT] [DELAY_MS] [RATE_KBPS] [RUNS]}
port=${2:-11994}
delay=${3:-25}
rate=${4:-2000}
runs=${5:-3}
proxy_port=$((port + 1))
pictures=40
bytes=340000
group=lumigrab.bench.pool
posts=4
parts=10
parts_group=lumigrab.bench.pool.parts
tool="$build_dir/tools/lumigrab-harvest"
source "$source_dir/bench/bench_servers.sh"
bench_require "$tool" lumigrab-harvest
bench_folder work

bench_start_inn "$port" "$group" "$parts_group"
echo "posting $pictures picture articles of $bytes bytes, and $posts posts of $parts such parts..."
"$bench_python" "$bench_inn/post-articles.py" --port "$port" --pool-bench "$pictures" "$bytes" \
    --pool-bench-parts "$posts" "$parts" "$bytes"

bench_start_proxy "$proxy_port" "$port" "$delay" "$rate"
echo "proxy on $proxy_port: $delay ms each way, $rate kB/s per connection"

# measure GROUP COUNT: a table over 1, 2, 4 and 8 connections.
measure() {
    local group=$1 count=$2
    printf "%-12s %10s %10s %10s\n" connections "time" "CPU" "vs 1"
    local one="" reference="" connections total cpu run folder start end sums mean
    for connections in 1 2 4 8; do
        total=0
        cpu=0
        for run in $(seq "$runs"); do
            folder="$work/$connections-$run"
            start=$(date +%s.%N)
            /usr/bin/time -f "%U + %S" -o "$work/cpu" "$tool" --server "127.0.0.1:$proxy_port" --group "$group" \
                --folder "$folder" --connections "$connections" >"$work/out" 2>"$work/err" || {
                echo "lumigrab-harvest --connections $connections failed:" >&2
                cat "$work/err" >&2
                exit 1
            }
            end=$(date +%s.%N)
            total=$(echo "$total + $end - $start" | bc -l)
            cpu=$(echo "$cpu + $(cat "$work/cpu")" | bc -l)
            sums=$(cd "$folder" && sha256sum -- *.jpg | sort)
            [ "$(echo "$sums" | wc -l)" -eq "$count" ] || { echo "$connections connections: not $count pictures" >&2; exit 1; }
            if [ -z "$reference" ]; then reference=$sums; fi
            [ "$sums" = "$reference" ] || { echo "$connections connections kept other pictures" >&2; exit 1; }
            rm -rf "$folder"
        done
        mean=$(echo "$total / $runs" | bc -l)
        [ -z "$one" ] && one=$mean
        printf "%-12s %8.2f s %8.2f s %9.2fx\n" "$connections" "$mean" "$(echo "$cpu / $runs" | bc -l)" \
            "$(echo "$mean / $one" | bc -l)"
        [ "$connections" = 8 ] && eight=$mean
    done
    if [ "$(echo "$eight <= 0.2 * $one" | bc -l)" = 1 ]; then
        echo "target 8 connections <= 0.2x one: met"
    else
        echo "target 8 connections <= 0.2x one: NOT met"
    fi
}

echo "$pictures single-part pictures:"
measure "$group" "$pictures"
echo "$posts posts of $parts parts:"
measure "$parts_group" "$posts"
