# Sourced by the comparison scripts: a private INN2 on 127.0.0.1 and a
# delaying proxy in front of it, both stopped, and the folders made through
# bench_folder removed, when the script exits. Expects source_dir (the top
# of the repository) and build_dir to be set.

bench_inn="$source_dir/tests/news/inn"
bench_python=/usr/bin/python3
bench_server_dir=""
bench_proxy_pid=""
bench_leftovers=()

bench_stop_servers() {
    if [ -n "$bench_proxy_pid" ]; then kill "$bench_proxy_pid" 2>/dev/null || true; fi
    if [ -n "$bench_server_dir" ]; then
        "$bench_inn/inn-server.sh" stop "$bench_server_dir" >/dev/null 2>&1 || true
        rm -rf "$bench_server_dir"
    fi
    rm -rf "${bench_leftovers[@]}"
}
trap bench_stop_servers EXIT

# bench_require FILE TARGET: ends the script unless TARGET has been built.
bench_require() {
    [ -x "$1" ] || { echo "$1 not built (cmake --build $build_dir --target $2)" >&2; exit 1; }
}

# bench_folder NAME: sets the variable NAME to a scratch folder removed at exit.
bench_folder() {
    local folder
    folder=$(mktemp -d /tmp/lumigrab-bench-XXXXXX)
    bench_leftovers+=("$folder")
    printf -v "$1" %s "$folder"
}

# bench_start_inn PORT GROUP...: a private INN2 serving the groups.
bench_start_inn() {
    bench_server_dir=$(mktemp -d /tmp/lumigrab-bench-inn-XXXXXX)
    "$bench_inn/inn-server.sh" start "$bench_server_dir" "$@" >/dev/null
}

# bench_start_proxy PORT SERVER_PORT DELAY_MS [RATE_KBPS]: delay_proxy.py on
# PORT in front of the server, once it says it is ready.
bench_start_proxy() {
    local out
    out=$(mktemp /tmp/lumigrab-bench-proxy-XXXXXX)
    bench_leftovers+=("$out")
    "$bench_python" "$source_dir/bench/delay_proxy.py" "$@" >"$out" 2>&1 &
    bench_proxy_pid=$!
    for _ in $(seq 100); do
        grep -q ready "$out" && return 0
        sleep 0.1
    done
    echo "the delaying proxy did not start" >&2
    cat "$out" >&2
    exit 1
}
