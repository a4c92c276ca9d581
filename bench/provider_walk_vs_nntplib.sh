#!/bin/bash
# A provider-shaped header walk, side by side with Python's nntplib: a
# private INN2 on 127.0.0.1 (started and stopped here) holding ARTICLES
# headers shaped like a binary group's (long release subjects, posters,
# random message-ids), reached through a proxy that adds DELAY_MS each way
# and caps each connection at RATE kB/s, as a far provider does. Run as root
# with INN2 installed (tests/news/inn/install-inn2.sh) and a Release build:
#
#   bench/provider_walk_vs_nntplib.sh BUILD_DIR [ARTICLES] [DELAY_MS] [RATE] [PORT]
#
# Times and bytes from the server: lumigrab-harvest walking the whole group
# with 4 connections, compressed and not, against one uncompressed OVER of
# the whole range by nntplib. Targets: at most 0.12x nntplib's time and 0.3x
# its bytes.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:?usage: $0 BUILD_DIR [ARTICLES] [DELAY_MS] [RATE] [PORT]}
articles=${2:-20000}
delay=${3:-25}
rate=${4:-250}
port=${5:-11996}
proxy_port=$((port + 1))
group=lumigrab.bench.provider
harvest="$build_dir/tools/lumigrab-harvest"
source "$source_dir/bench/bench_servers.sh"
python=$bench_python
bench_require "$harvest" lumigrab-harvest

bench_start_inn "$port" "$group"
echo "posting $articles provider-shaped articles..."
"$python" "$bench_inn/post-articles.py" --port "$port" --provider-bench "$articles"

bench_folder scratch
counted="$scratch/bytes"

# run NAME COMMAND...: the command through a fresh proxy; prints NAME, the
# wall time in ms and the bytes the server sent.
run() {
    local name=$1
    shift
    bench_start_proxy "$proxy_port" "$port" "$delay" "$rate" "$counted"
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    sleep 0.3
    kill "$bench_proxy_pid" 2>/dev/null || true
    wait "$bench_proxy_pid" 2>/dev/null || true
    bench_proxy_pid=""
    echo "$name $(((end - start) / 1000000)) $(cat "$counted" 2>/dev/null || echo 0)"
}

walk() {
    rm -rf "$scratch/pictures"
    mkdir -p "$scratch/pictures"
    "$harvest" --server "127.0.0.1:$proxy_port" --group "$group" --folder "$scratch/pictures" --connections 4 "$@"
}

nntplib_over() {
    "$python" - "$proxy_port" "$group" <<'PY'
import sys, warnings
with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import nntplib
server = nntplib.NNTP("127.0.0.1", int(sys.argv[1]), readermode=True)
_, _, first, last, _ = server.group(sys.argv[2])
server.over((first, last))
server.quit()
PY
}

results=$(
    run nntplib nntplib_over
    run lumigrab walk
    run lumigrab-plain walk --no-compress
)
"$python" - "$results" "$delay" "$rate" "$articles" <<'PY'
import sys
rows = {name: (float(ms), int(b)) for name, ms, b in (line.split() for line in sys.argv[1].splitlines())}
py_ms, py_bytes = rows["nntplib"]
print("%s articles, %s ms each way, %s kB/s per connection" % (sys.argv[4], sys.argv[2], sys.argv[3]))
for name, label in (("nntplib", "nntplib over() of the whole range"),
                    ("lumigrab", "lumigrab-harvest, 4 connections, compressed"),
                    ("lumigrab-plain", "lumigrab-harvest, 4 connections, --no-compress")):
    ms, b = rows[name]
    print("%-48s %9.0f ms %11d bytes  %5.2fx time %5.2fx bytes" % (label, ms, b, ms / py_ms, b / py_bytes))
ms, b = rows["lumigrab"]
print("target time <= 0.12x: %s" % ("met" if ms <= 0.12 * py_ms else "NOT met"))
print("target bytes <= 0.3x: %s" % ("met" if b <= 0.3 * py_bytes else "NOT met"))
PY
