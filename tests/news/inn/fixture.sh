#!/bin/bash
# CTest fixture for the integration tests.
#   fixture.sh setup DIR PORT   start a private INN2 in DIR and post the test
#                               articles (expected pictures in DIR/expected)
#   fixture.sh cleanup DIR      stop it
# Without INN2 the set-up succeeds and the tests skip themselves, unless
# LUMIGRAB_REQUIRE_INN=1 asks for the server.
set -eu

here=$(cd "$(dirname "$0")" && pwd)

case "${1:-}" in
setup)
    dir=$2
    port=$3
    if [ -f "$dir/etc/inn.conf" ]; then
        "$here/inn-server.sh" stop "$dir" >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
    if [ ! -x /usr/lib/news/bin/innd ]; then
        echo "INN2 is not installed (run tests/news/inn/install-inn2.sh as root)" >&2
        [ "${LUMIGRAB_REQUIRE_INN:-0}" = 1 ] && exit 1
        exit 0
    fi
    # A loaded machine can make the first start miss its deadline; one
    # clean second try keeps that from failing the whole suite.
    for attempt in 1 2; do
        if "$here/inn-server.sh" start "$dir" "$port" &&
            python3 "$here/post-articles.py" --port "$port" --expected "$dir/expected"; then
            touch "$dir/ready"
            exit 0
        fi
        echo "fixture: attempt $attempt to start the news server failed" >&2
        cat "$dir/log/"* >&2 2>/dev/null || true
        "$here/inn-server.sh" stop "$dir" >/dev/null 2>&1 || true
        rm -rf "$dir"
        sleep 2
    done
    exit 1
    ;;
cleanup)
    dir=$2
    if [ -f "$dir/etc/inn.conf" ]; then
        "$here/inn-server.sh" stop "$dir"
    fi
    rm -f "$dir/ready"
    ;;
*)
    echo "usage: $0 setup DIR PORT | cleanup DIR" >&2
    exit 2
    ;;
esac
