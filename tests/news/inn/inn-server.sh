#!/bin/bash
# A private INN2 instance on 127.0.0.1 for the tests, living entirely in DIR.
#   inn-server.sh start DIR PORT [GROUP...]   (run as root; innd drops to news)
#   inn-server.sh stop DIR
# The groups listed (default: a set of test groups) are created empty.
set -eu

INNBIN=/usr/lib/news/bin

usage() {
    echo "usage: $0 start DIR PORT [GROUP...] | stop DIR" >&2
    exit 2
}

write_conf() {
    dir=$1
    port=$2
    # Settings that do not point into DIR come from the installed file; every
    # path and the listening address are overridden below.
    grep -v -E '^(path(db|run|log|spool|articles|overview|incoming|tmp|outgoing|archive|http|etc)|port|bindaddress|ovmethod|hismethod|artcutoff|maxartsize|localmaxartsize|mta|mailcmd|domain|pathhost|docancels|pgpverify|doinnwatch|nnrpdloadlimit|initialtimeout|clienttimeout):' \
        /etc/news/inn.conf >"$dir/etc/inn.conf"
    cat >>"$dir/etc/inn.conf" <<CONF
domain:          localdomain
pathhost:        lumigrab-test.localdomain
pathdb:          $dir/db
pathrun:         $dir/run
pathlog:         $dir/log
pathspool:       $dir/spool
patharticles:    $dir/spool/articles
pathoverview:    $dir/spool/overview
pathincoming:    $dir/spool/incoming
pathtmp:         $dir/spool/incoming/tmp
pathoutgoing:    $dir/spool/outgoing
patharchive:     $dir/spool/archive
pathhttp:        $dir/http
pathetc:         $dir/etc
port:            $port
bindaddress:     127.0.0.1
ovmethod:        tradindexed
hismethod:       hisv6
artcutoff:       0
maxartsize:      0
localmaxartsize: 0
mta:             "/bin/true %s"
mailcmd:         /bin/true
docancels:       none
pgpverify:       false
doinnwatch:      false
nnrpdloadlimit:  0
initialtimeout:  60
clienttimeout:   600
CONF
}

write_tables() {
    dir=$1
    shift
    cat >"$dir/etc/readers.conf" <<'CONF'
auth "localhost" {
    hosts: "localhost, 127.0.0.1, ::1, stdin"
    default: "<localhost>"
}
access "localhost" {
    users: "<localhost>"
    newsgroups: "*"
    access: RPA
}
CONF
    # No peers: a loopback client must be treated as a reader.
    printf 'streaming: true\nmax-connections: 8\n' >"$dir/etc/incoming.conf"
    printf 'ME:!*/!local::\n' >"$dir/etc/newsfeeds"
    {
        echo "control 0000000000 0000000001 n"
        echo "control.cancel 0000000000 0000000001 n"
        echo "junk 0000000000 0000000001 n"
        for group in "$@"; do
            echo "$group 0000000000 0000000001 y"
        done
    } >"$dir/db/active"
    : >"$dir/db/active.times"
    : >"$dir/db/newsgroups"
    : >"$dir/db/history"
}

port_answers() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

start() {
    [ $# -ge 2 ] || usage
    dir=$(realpath -m "$1")
    port=$2
    shift 2
    [ $# -gt 0 ] || set -- lumigrab.test.pictures lumigrab.test.pictures.more lumigrab.test.empty lumigrab.test.text
    if [ -f "$dir/run/innd.pid" ] && kill -0 "$(cat "$dir/run/innd.pid")" 2>/dev/null; then
        echo "inn-server.sh: already running in $dir" >&2
        exit 1
    fi
    if port_answers "$port"; then
        echo "inn-server.sh: port $port is already in use" >&2
        exit 1
    fi
    mkdir -p "$dir/etc" "$dir/db" "$dir/run" "$dir/log" "$dir/http" \
        "$dir/spool/articles" "$dir/spool/overview" "$dir/spool/incoming/tmp" \
        "$dir/spool/outgoing" "$dir/spool/archive"
    for file in /etc/news/*; do
        [ -f "$file" ] && cp "$file" "$dir/etc/"
    done
    [ -d /etc/news/filter ] && cp -r /etc/news/filter "$dir/etc/"
    write_conf "$dir" "$port"
    write_tables "$dir" "$@"
    chown -R news:news "$dir"
    chmod 755 "$dir"
    export INNCONF="$dir/etc/inn.conf"
    (cd "$dir/db" && su news -s /bin/sh -c "INNCONF='$INNCONF' $INNBIN/makedbz -i -o") >/dev/null

    # innd stays in the foreground (-f); the detached shell waits for it so
    # that the process is reaped when it stops.
    nohup sh -c "INNCONF='$INNCONF' $INNBIN/innd -f >'$dir/log/innd.out' 2>&1 & echo \$! >'$dir/innd.childpid'; wait" \
        >/dev/null 2>&1 &
    tries=0
    while ! port_answers "$port"; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ]; then
            echo "inn-server.sh: innd did not start on port $port; see $dir/log" >&2
            cat "$dir/log/innd.out" >&2 2>/dev/null || true
            exit 1
        fi
        sleep 0.1
    done
    echo "innd listening on 127.0.0.1:$port ($dir)"
}

stop() {
    [ $# -ge 1 ] || usage
    dir=$(realpath -m "$1")
    [ -f "$dir/etc/inn.conf" ] || { echo "inn-server.sh: no instance in $dir" >&2; exit 1; }
    INNCONF="$dir/etc/inn.conf" $INNBIN/ctlinnd -t 20 shutdown "tests done" >/dev/null 2>&1 || true
    pid=""
    [ -f "$dir/innd.childpid" ] && pid=$(cat "$dir/innd.childpid")
    tries=0
    while [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; do
        tries=$((tries + 1))
        if [ $tries -gt 200 ]; then
            kill -9 "$pid" 2>/dev/null || true
            break
        fi
        sleep 0.1
    done
    echo "innd stopped ($dir)"
}

command=${1:-}
[ $# -gt 0 ] && shift
case "$command" in
start) start "$@" ;;
stop) stop "$@" ;;
*) usage ;;
esac
