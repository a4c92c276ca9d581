#!/bin/bash
# Header walk and picture harvest across a slow network, side by side with
# Python's nntplib: a private INN2 on 127.0.0.1 that this script starts (and
# stops), reached through a proxy of its own that delays every chunk by
# DELAY_MS in each direction (a round trip of twice that). Run as root with
# INN2 installed (tests/news/inn/install-inn2.sh) and a Release build:
#
#   bench/nntp_overview_vs_nntplib.sh BUILD_DIR [PORT] [DELAY_MS] [RUNS]
#
# Times, each from after GROUP: walking 2000 small articles with the
# overview walk and with the HEAD walk against one nntplib over() of the
# same range; harvesting 50 picture articles (walk, fetch, decode, write)
# both ways against nntplib's over() and article(), and against the least
# time the articles can take: all their ARTICLE commands sent at once, that
# is their bytes plus one round trip, and four at a time, as the client
# sends them ahead. The HEAD walk takes two round trips per header and so
# some minutes; it runs once.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:?usage: $0 BUILD_DIR [PORT] [DELAY_MS] [RUNS]}
port=${2:-11992}
delay=${3:-25}
runs=${4:-3}
proxy_port=$((port + 1))
small=2000
pictures=50
bench="$build_dir/bench/nntp_latency_bench"
source "$source_dir/bench/bench_servers.sh"
python=$bench_python
bench_require "$bench" nntp_latency_bench

bench_start_inn "$port" lumigrab.bench.small lumigrab.bench.pictures
echo "posting $small small and $pictures picture articles..."
"$python" "$bench_inn/post-articles.py" --port "$port" --bench "$small" "$pictures"

bench_start_proxy "$proxy_port" "$port" "$delay"
echo "proxy on $proxy_port: $delay ms each way; running (the HEAD walk takes minutes)..."

json=$(LUMIGRAB_NNTP_PORT=$proxy_port "$bench" --benchmark_format=json 2>/dev/null)
read -r py_over py_headers <<<"$("$python" "$source_dir/bench/nntplib_overview.py" "$proxy_port" over "$runs")"
read -r py_harvest py_pictures <<<"$("$python" "$source_dir/bench/nntplib_overview.py" "$proxy_port" harvest "$runs")"
read -r burst burst_articles burst_bytes <<<"$("$python" "$source_dir/bench/nntplib_overview.py" "$proxy_port" burst "$runs")"
read -r depth4 _ <<<"$("$python" "$source_dir/bench/nntplib_overview.py" "$proxy_port" depth4 "$runs")"

"$python" - "$json" "$delay" "$py_over" "$py_headers" "$py_harvest" "$py_pictures" "$burst" "$burst_articles" \
    "$burst_bytes" "$depth4" <<'PY'
import json, sys
data, delay, py_over, py_headers, py_harvest, py_pictures, burst, burst_articles, burst_bytes, depth4 = sys.argv[1:]
runs = {b["name"].split("/iterations")[0].split("/manual_time")[0]: b for b in json.loads(data)["benchmarks"]}
walk_over, walk_head = runs["BM_WalkHeaders/1"], runs["BM_WalkHeaders/0"]
harvest_over, harvest_head = runs["BM_HarvestPictures/1"], runs["BM_HarvestPictures/0"]
py_over, py_harvest, burst, depth4 = float(py_over), float(py_harvest), float(burst), float(depth4)
rtt = 2 * float(delay)

def row(task, ms, note=""):
    print("%-46s %10.1f ms %8.1f RTT  %s" % (task, ms, ms / rtt, note))

print("round trip %.0f ms; times from after GROUP, mean of runs" % rtt)
row("walk %d headers, overview walk" % walk_over["headers"], walk_over["real_time"],
    "%.2fx nntplib over()" % (walk_over["real_time"] / py_over))
row("walk %d headers, HEAD walk" % walk_head["headers"], walk_head["real_time"],
    "%.0fx the overview walk" % (walk_head["real_time"] / walk_over["real_time"]))
row("nntplib over() of the same range, %s headers" % py_headers, py_over)
row("harvest %d pictures, overview walk" % harvest_over["pictures"], harvest_over["real_time"],
    "%.2fx bytes + 1 RTT, %.2fx four at a time" % (harvest_over["real_time"] / burst,
                                                   harvest_over["real_time"] / depth4))
row("harvest %d pictures, HEAD walk" % harvest_head["pictures"], harvest_head["real_time"],
    "%.0fx the overview harvest" % (harvest_head["real_time"] / harvest_over["real_time"]))
row("nntplib over() and article(), %s pictures" % py_pictures, py_harvest,
    "%.2fx the overview harvest" % (py_harvest / harvest_over["real_time"]))
row("bytes + 1 RTT: %s articles, %s bytes at once" % (burst_articles, burst_bytes), burst)
row("the same articles, four ARTICLE commands at a time", depth4)
ok = True
for name, value, bound in (("overview walk <= 2x nntplib over()", walk_over["real_time"], 2 * py_over),
                           ("overview harvest <= 1.5x (bytes + 1 RTT)", harvest_over["real_time"], 1.5 * burst)):
    print("target %-42s %s" % (name + ":", "met" if value <= bound else "NOT met"))
if int(walk_over["headers"]) != int(py_headers) or int(harvest_over["pictures"]) != int(py_pictures) \
        or harvest_head["pictures"] != harvest_over["pictures"] or walk_head["headers"] != walk_over["headers"]:
    print("work differs between the runs")
    sys.exit(1)
PY
