#!/bin/bash
# The first picture sooner: Go on a group of 5000 articles whose first
# picture is article 4001, 2 x DELAY_MS of round trip away, against a raw
# socket client doing the least exchange, side by side in one run. Starts
# (and stops) a private INN2 on 127.0.0.1 and a delaying proxy in front of
# it. Run as root with INN2 installed (tests/news/inn/install-inn2.sh) and a
# Release build:
#
#   bench/first_picture_vs_floor.sh BUILD_DIR [PORT] [DELAY_MS]
#
# Both times run from before the connection is made to the moment the
# picture article is in hand (for the client: loaded, OnArticleRetrieved).
# Target: the client within 1.25x of the floor.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:?usage: $0 BUILD_DIR [PORT] [DELAY_MS]}
port=${2:-11994}
delay=${3:-25}
proxy_port=$((port + 1))
group=lumigrab.bench.first
bench="$build_dir/bench/first_picture_bench"
source "$source_dir/bench/bench_servers.sh"
python=$bench_python
bench_require "$bench" first_picture_bench

bench_start_inn "$port" "$group"
echo "posting 5000 articles, the picture at 4001..."
PYTHONPATH="$bench_inn" "$python" - "$port" "$group" <<'PY'
import random, sys
from nntp_articles import Poster, plain_headers, uuencode
port, group = int(sys.argv[1]), sys.argv[2]
poster = Poster(port)
for number in range(1, 5001):
    if number == 4001:
        name = "first.jpg"
        poster.post(plain_headers(group, name), [b"A picture:", b""] + uuencode(name, random.Random(4001).randbytes(100000)))
    else:
        poster.post(plain_headers(group, "small article %d" % number), [b"Line %d of a small text article." % i for i in range(8)])
poster.close()
PY

bench_start_proxy "$proxy_port" "$port" "$delay"

# A first pass warms the server's caches, which the first of the two
# would otherwise pay for alone.
LUMIGRAB_NNTP_PORT=$proxy_port "$bench" --benchmark_filter=Floor >/dev/null 2>&1
# Runs of the two taken in turns, so that both meet the same load on a
# shared machine.
json=$(LUMIGRAB_NNTP_PORT=$proxy_port "$bench" --benchmark_format=json --benchmark_repetitions=4 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true 2>/dev/null)
"$python" - "$json" "$delay" <<'PY'
import json, sys
data, delay = json.loads(sys.argv[1]), float(sys.argv[2])
runs = {b["name"].split("/")[0]: b for b in data["benchmarks"] if b.get("aggregate_name") == "mean"}
client, floor = runs["BM_FirstPictureClient"], runs["BM_FirstPictureFloor"]
print("round trip %.0f ms; group of 5000, first picture 4001; mean of 4 x 7 runs each, taken in turns"
      % (2 * delay))
print("%-44s %8.1f ms  (CPU %.1f ms)" % ("Go to the picture article, client + harvest", client["real_time"],
                                          client["cpu_time"]))
print("%-44s %8.1f ms" % ("  picture kept (decoded and written)", client["picture_kept_ms"]))
print("%-44s %8.1f ms  (CPU %.1f ms)" % ("raw-socket floor", floor["real_time"], floor["cpu_time"]))
ratio = client["real_time"] / floor["real_time"]
print("client / floor: %.2fx; target <= 1.25x: %s" % (ratio, "met" if ratio <= 1.25 else "NOT met"))
PY
