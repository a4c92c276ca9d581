#!/bin/bash
# Header walk and picture harvest of the news client side by side with
# Python's nntplib, against one private INN2 on 127.0.0.1 that this script
# starts (and stops) itself. Run as root with INN2 installed
# (tests/news/inn/install-inn2.sh) and a Release build:
#
#   bench/nntp_walk_vs_nntplib.sh BUILD_DIR [PORT] [RUNS]
#
# The walk takes one HEAD and one NEXT per article over 2000 small articles;
# the harvest walks 200 picture articles and fetches, decodes and writes each.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:?usage: $0 BUILD_DIR [PORT] [RUNS]}
port=${2:-11990}
runs=${3:-3}
small=2000
pictures=200
bench="$build_dir/bench/nntp_walk_bench"
source "$source_dir/bench/bench_servers.sh"
bench_require "$bench" nntp_walk_bench

bench_start_inn "$port" lumigrab.bench.small lumigrab.bench.pictures
echo "posting $small small and $pictures picture articles..."
python3 "$bench_inn/post-articles.py" --port "$port" --bench "$small" "$pictures"

json=$(LUMIGRAB_NNTP_PORT=$port "$bench" --benchmark_format=json 2>/dev/null)
ours=$(python3 -c '
import json, sys
data = json.loads(sys.argv[1])
times = {b["name"].split("/")[0]: b for b in data["benchmarks"]}
walk, harvest = times["BM_WalkHeaders"], times["BM_HarvestPictures"]
print(walk["real_time"], int(walk["headers"]), harvest["real_time"], int(harvest["pictures"]))
' "$json")
read -r our_walk our_headers our_harvest our_pictures <<<"$ours"
read -r py_walk py_headers <<<"$(python3 "$source_dir/bench/nntplib_walk.py" "$port" walk "$runs")"
read -r py_harvest py_pictures <<<"$(python3 "$source_dir/bench/nntplib_walk.py" "$port" harvest "$runs")"

python3 - "$our_walk" "$our_headers" "$py_walk" "$py_headers" \
    "$our_harvest" "$our_pictures" "$py_harvest" "$py_pictures" <<'PY'
import sys
ow, oh, pw, ph, oH, op, pH, pp = sys.argv[1:]
ow, pw, oH, pH = map(float, (ow, pw, oH, pH))
print("%-28s %12s %12s %8s" % ("task (mean of runs)", "lumigrab ms", "nntplib ms", "ratio"))
print("%-28s %12.1f %12.1f %7.1fx" % ("walk %s headers" % oh, ow, pw, pw / ow))
print("%-28s %12.1f %12.1f %7.1fx" % ("harvest %s pictures" % op, oH, pH, pH / oH))
if oh != ph or op != pp:
    print("work differs: nntplib walked %s headers and kept %s pictures" % (ph, pp))
    sys.exit(1)
print("walk target (>= 20x): %s" % ("met" if pw / ow >= 20 else "NOT met"))
PY
