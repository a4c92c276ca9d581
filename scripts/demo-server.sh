#!/bin/bash
# A throwaway news server for trying Lumigrab: a private INN2 on 127.0.0.1,
# on a free port, filled with picture posts drawn when it starts.
#   demo-server.sh start   prints the server's folder; in it, "port" holds
#                          the port and "groups" the picture groups
#   demo-server.sh stop DIR
# Run as root (innd drops to user news); needs INN2 and python3-pil
# (scripts/setup.sh installs both).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
inn="$here/../tests/news/inn"
# Debian's Python, which has Pillow, even when another python3 comes first.
python=/usr/bin/python3
[ -x "$python" ] || python=python3

free_port() {
    "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

start() {
    if ! "$python" -c 'import PIL' 2>/dev/null; then
        echo "demo-server.sh: the pictures need python3-pil (scripts/setup.sh installs it)" >&2
        exit 1
    fi
    # innd runs as user news: the folder must not sit under a private home.
    dir=$(mktemp -d /tmp/lumigrab-demo-server.XXXXXX)
    # innd runs in the background, out of reach of the terminal's Ctrl+C:
    # a start cut short stops what it started.
    trap 'stop "$dir" >/dev/null 2>&1; exit 130' INT TERM HUP
    mapfile -t groups < <("$python" "$here/demo-posts.py" --groups)
    # Another program may take the free port before innd binds it.
    for attempt in 1 2 3; do
        port=$(free_port)
        if "$inn/inn-server.sh" start "$dir" "$port" "${groups[@]}" >&2; then
            break
        fi
        "$inn/inn-server.sh" stop "$dir" >/dev/null 2>&1 || true
        if [ "$attempt" = 3 ]; then
            rm -rf "$dir"
            echo "demo-server.sh: the news server did not start" >&2
            exit 1
        fi
    done
    echo "demo-server.sh: drawing and posting the demo pictures..." >&2
    if ! "$python" "$here/demo-posts.py" --port "$port" >"$dir/groups"; then
        stop "$dir" >/dev/null 2>&1
        exit 1
    fi
    echo "$port" >"$dir/port"
    trap - INT TERM HUP
    echo "$dir"
}

stop() {
    dir=$1
    case "$dir" in
    /tmp/lumigrab-demo-server.*/*) bad=1 ;;
    /tmp/lumigrab-demo-server.?*) bad=0 ;;
    *) bad=1 ;;
    esac
    if [ "$bad" = 1 ]; then
        echo "demo-server.sh: $dir is not a demo server folder" >&2
        exit 1
    fi
    if [ -f "$dir/etc/inn.conf" ]; then
        "$inn/inn-server.sh" stop "$dir" >&2 || true
    fi
    rm -rf "$dir"
}

case "${1:-}" in
start) start ;;
stop)
    [ $# -eq 2 ] || { echo "usage: $0 start | stop DIR" >&2; exit 2; }
    stop "$2"
    ;;
*)
    echo "usage: $0 start | stop DIR" >&2
    exit 2
    ;;
esac
