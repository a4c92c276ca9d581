#!/bin/bash
# CTest fixture for the integration tests.
#   fixture.sh setup DIR PORT [TLS_PORT]
#                               start a private INN2 in DIR and post the test
#                               articles (expected pictures in DIR/expected);
#                               with TLS_PORT also its TLS server with logins
#                               on 127.0.0.2 (see inn-server.sh)
#   fixture.sh setup-limited DIR PORT COUNT SECONDS
#                               the same without TLS, then innd takes at most
#                               COUNT connections from one host within
#                               SECONDS and refuses the others (400); DIR/limit
#                               holds COUNT and SECONDS
#   fixture.sh cleanup DIR      stop it and remove DIR
# Without INN2 the set-up succeeds and the tests skip themselves, unless
# LUMIGRAB_REQUIRE_INN=1 asks for the server.
#
# INN2 runs as user news, which must be able to read DIR, so DIR lives in a
# shared temporary folder rather than in the build tree (a clone under /root
# is closed to other users). Anyone can create names there, so DIR is only
# reused or removed when it is a real folder owned by us or by news (which
# owns it while a server runs), and it is created afresh with mkdir, which
# fails rather than follows whatever someone else put under that name.
set -eu

here=$(cd "$(dirname "$0")" && pwd)

ours() {
    [ -d "$1" ] && [ ! -L "$1" ] || return 1
    owner=$(stat -c %U "$1")
    [ "$owner" = "$(id -un)" ] || [ "$owner" = news ]
}

remove_instance() {
    dir=$1
    [ -e "$dir" ] || [ -L "$dir" ] || return 0
    if ! ours "$dir"; then
        echo "fixture: $dir was not made by these tests; remove it by hand" >&2
        return 1
    fi
    if [ -f "$dir/etc/inn.conf" ]; then
        "$here/inn-server.sh" stop "$dir" >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
}

# Gaps in the overview group's numbering (cancelled articles), and
# articles their overview lists although their files are gone from the
# spool.
make_overview_gaps() {
    dir=$1
    group=lumigrab.test.overview
    while read -r id; do
        INNCONF="$dir/etc/inn.conf" /usr/lib/news/bin/ctlinnd -s cancel "$id" || return 1
    done <"$dir/expected/$group.cancel"
    rm "$dir/spool/articles/lumigrab/test/overview/$(cat "$dir/expected/$group.gone")" || return 1
    while read -r number; do
        rm "$dir/spool/articles/lumigrab/test/multipart/gone/$number" || return 1
    done <"$dir/expected/lumigrab.test.multipart.gone.gone"
}

# Starts the instance in DIR on PORT and posts the test articles; then runs
# the command given, if any, as the last step.
setup() {
    dir=$1
    port=$2
    shift 2
    remove_instance "$dir"
    if [ ! -x /usr/lib/news/bin/innd ]; then
        echo "INN2 is not installed (run tests/news/inn/install-inn2.sh as root)" >&2
        [ "${LUMIGRAB_REQUIRE_INN:-0}" = 1 ] && exit 1
        exit 0
    fi
    mkdir -p "$(dirname "$dir")"
    # A loaded machine can make the first start miss its deadline; one
    # clean second try keeps that from failing the whole suite.
    for attempt in 1 2; do
        if mkdir -m 755 "$dir" &&
            "$here/inn-server.sh" start "$dir" "$port" &&
            python3 "$here/post-articles.py" --port "$port" --expected "$dir/expected" &&
            make_overview_gaps "$dir" && "$@"; then
            touch "$dir/ready"
            exit 0
        fi
        echo "fixture: attempt $attempt to start the news server failed" >&2
        cat "$dir/log/"* >&2 2>/dev/null || true
        remove_instance "$dir" || exit 1
        sleep 2
    done
    exit 1
}

# The connections of the set-up itself (posting) count against the limit
# until innd starts again with it.
limit_connections() {
    "$here/inn-server.sh" limit "$dir" "$1" "$2" && echo "$1 $2" >"$dir/limit"
}

case "${1:-}" in
setup)
    if [ -n "${4:-}" ]; then
        export INN_TLS_PORT=$4
    fi
    setup "$2" "$3" true
    ;;
setup-limited)
    [ $# -eq 5 ] || { echo "usage: $0 setup-limited DIR PORT COUNT SECONDS" >&2; exit 2; }
    setup "$2" "$3" limit_connections "$4" "$5"
    ;;
cleanup)
    remove_instance "$2"
    ;;
*)
    echo "usage: $0 setup DIR PORT [TLS_PORT] | setup-limited DIR PORT COUNT SECONDS | cleanup DIR" >&2
    exit 2
    ;;
esac
