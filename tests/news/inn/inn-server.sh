#!/bin/bash
# A private INN2 instance on 127.0.0.1 for the tests, living entirely in DIR.
#   inn-server.sh start DIR PORT [GROUP...]   (run as root; innd drops to news)
#   inn-server.sh stop DIR
#   inn-server.sh limit DIR COUNT SECONDS
#                    start the instance's innd again so that it takes at most
#                    COUNT connections from one host within SECONDS (innd -H,
#                    -X); it greets the others with 400 and closes them
# The groups listed (default: a set of test groups) are created empty.
# Where the machine has an IPv6 loopback, innd also listens on [::1]:PORT and
# DIR/ipv6 says so.
#
# With INN_TLS_PORT set, a second server (nnrpd) serves the same groups over
# implicit TLS on 127.0.0.2:INN_TLS_PORT, and only after a login. Its
# certificate authority is DIR/tls/ca.pem (point SSL_CERT_FILE at it), its
# certificate is valid for news.lumigrab.test and 127.0.0.2, its SHA-256
# fingerprint is in DIR/tls/server.fingerprint, and the account's user name
# and password are the two lines of DIR/tls/account. Readers on 127.0.0.1
# need no login, as before.
set -eu

INNBIN=/usr/lib/news/bin
TLS_ADDRESS=127.0.0.2
TLS_USER=lumigrab
TLS_PASSWORD=green-pictures

usage() {
    echo "usage: $0 start DIR PORT [GROUP...] | stop DIR | limit DIR COUNT SECONDS" >&2
    exit 2
}

write_conf() {
    dir=$1
    port=$2
    # Settings that do not point into DIR come from the installed file; every
    # path and the listening address are overridden below.
    grep -v -E '^(path(db|run|log|spool|articles|overview|incoming|tmp|outgoing|archive|http|etc)|port|bindaddress|ovmethod|hismethod|artcutoff|maxartsize|localmaxartsize|mta|mailcmd|domain|pathhost|docancels|pgpverify|doinnwatch|nnrpdloadlimit|initialtimeout|clienttimeout|nnrpdcheckart|tlscafile|tlscapath|tlscertfile|tlskeyfile):' \
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
$(has_ipv6_loopback && echo "bindaddress6:    \"::1\"")
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
# The overview test group lists an article whose file the fixture removes.
nnrpdcheckart:   false
CONF
}

write_readers() {
    dir=$1
    if [ -z "${INN_TLS_PORT:-}" ]; then
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
        return
    fi
    # The address a reader connected to tells the two servers apart: a
    # default identity would otherwise let readers in without a login.
    cat >"$dir/etc/readers.conf" <<CONF
auth "localhost" {
    hosts: "localhost, 127.0.0.1, ::1, stdin"
    localaddress: "127.0.0.1, ::1"
    default: "<localhost>"
}
auth "secure" {
    hosts: "127.0.0.0/8"
    localaddress: "$TLS_ADDRESS"
    auth: "ckpasswd -f $dir/etc/readers.passwd"
    require_encryption: true
}
access "localhost" {
    users: "<localhost>"
    newsgroups: "*"
    access: RPA
}
access "secure" {
    users: "$TLS_USER"
    newsgroups: "*"
    access: R
}
CONF
}

# A certificate authority of its own and the TLS server's certificate.
write_tls() {
    dir=$1
    tls=$dir/tls
    mkdir -p "$tls"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
        -subj "/CN=Lumigrab test authority" -keyout "$tls/ca.key" -out "$tls/ca.pem" 2>/dev/null
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
        -subj "/CN=news.lumigrab.test" -keyout "$tls/server.key" -out "$tls/server.csr" 2>/dev/null
    printf 'subjectAltName=DNS:news.lumigrab.test,IP:%s\nbasicConstraints=CA:FALSE\n' "$TLS_ADDRESS" \
        >"$tls/server.ext"
    openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial \
        -days 30 -extfile "$tls/server.ext" -out "$tls/server.pem" 2>/dev/null
    openssl x509 -in "$tls/server.pem" -noout -fingerprint -sha256 | sed 's/^.*=//' >"$tls/server.fingerprint"
    printf '%s\n%s\n' "$TLS_USER" "$TLS_PASSWORD" >"$tls/account"
    printf '%s:%s\n' "$TLS_USER" "$(openssl passwd -1 "$TLS_PASSWORD")" >"$dir/etc/readers.passwd"
    chmod 600 "$tls/server.key" "$tls/ca.key" "$dir/etc/readers.passwd"
    cat >>"$dir/etc/inn.conf" <<CONF
tlscapath:       $tls
tlscertfile:     $tls/server.pem
tlskeyfile:      $tls/server.key
CONF
}

write_tables() {
    dir=$1
    shift
    write_readers "$dir"
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

has_ipv6_loopback() {
    grep -q '^0\{31\}1 .* lo$' /proc/net/if_inet6 2>/dev/null
}

port_answers() {
    (exec 3<>"/dev/tcp/${2:-127.0.0.1}/$1") 2>/dev/null
}

# await WHAT OUTPUT COMMAND...: runs COMMAND every tenth of a second until it
# succeeds, for up to ten seconds; otherwise says that WHAT did not start,
# with its OUTPUT file, and fails.
await() {
    local what=$1 output=$2 tries=0
    shift 2
    until "$@"; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ]; then
            echo "inn-server.sh: $what did not start; see $(dirname "$output")" >&2
            cat "$output" >&2 2>/dev/null || true
            exit 1
        fi
        sleep 0.1
    done
}

# A server started in the background answers on PORT at ADDRESS.
await_server() {
    await "$1 on $3:$2" "$4" port_answers "$2" "$3"
}

start() {
    [ $# -ge 2 ] || usage
    dir=$(realpath -m "$1")
    port=$2
    shift 2
    [ $# -gt 0 ] || set -- lumigrab.test.pictures lumigrab.test.pictures.more lumigrab.test.empty lumigrab.test.text \
        lumigrab.test.overview lumigrab.test.multipart \
        lumigrab.test.multipart.late lumigrab.test.multipart.gone
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
    [ -n "${INN_TLS_PORT:-}" ] && write_tls "$dir"
    chown -R news:news "$dir"
    chmod 755 "$dir"
    export INNCONF="$dir/etc/inn.conf"
    (cd "$dir/db" && su news -s /bin/sh -c "INNCONF='$INNCONF' $INNBIN/makedbz -i -o") >/dev/null

    launch_innd "$dir" "$port"
    if has_ipv6_loopback && port_answers "$port" ::1; then
        echo "innd listening on [::1]:$port"
        : >"$dir/ipv6"
    fi
    if [ -n "${INN_TLS_PORT:-}" ]; then
        start_tls "$dir"
    fi
}

# innd stays in the foreground (-f); the detached shell waits for it so that
# the process is reaped when it stops.
launch_innd() {
    dir=$1
    port=$2
    shift 2
    nohup sh -c "INNCONF='$dir/etc/inn.conf' $INNBIN/innd -f $* >'$dir/log/innd.out' 2>&1 & echo \$! >'$dir/innd.childpid'; wait" \
        >/dev/null 2>&1 &
    if [ $# -gt 0 ]; then
        # A test connection would count against a limit.
        await_control "$dir"
    else
        await_server innd "$port" 127.0.0.1 "$dir/log/innd.out"
    fi
    echo "innd listening on 127.0.0.1:$port ($dir)"
}

# innd in DIR answers on its control channel.
control_answers() {
    INNCONF="$1/etc/inn.conf" $INNBIN/ctlinnd -s -t 1 mode >/dev/null 2>&1
}

await_control() {
    await innd "$1/log/innd.out" control_answers "$1"
}

limit() {
    [ $# -eq 3 ] || usage
    dir=$(realpath -m "$1")
    port=$(sed -n 's/^port: *//p' "$dir/etc/inn.conf")
    stop "$dir"
    launch_innd "$dir" "$port" -H "$2" -X "$3"
}

# nnrpd on its own: started as root, it binds the port and then runs as
# news; -S makes every connection start with the TLS handshake.
start_tls() {
    dir=$1
    if port_answers "$INN_TLS_PORT" "$TLS_ADDRESS"; then
        echo "inn-server.sh: port $TLS_ADDRESS:$INN_TLS_PORT is already in use" >&2
        exit 1
    fi
    nohup sh -c "INNCONF='$INNCONF' $INNBIN/nnrpd -D -f -S -p $INN_TLS_PORT -b $TLS_ADDRESS \
        >'$dir/log/nnrpd.out' 2>&1 & echo \$! >'$dir/nnrpd.childpid'; wait" >/dev/null 2>&1 &
    await_server nnrpd "$INN_TLS_PORT" "$TLS_ADDRESS" "$dir/log/nnrpd.out"
    echo "nnrpd (TLS, login) listening on $TLS_ADDRESS:$INN_TLS_PORT ($dir)"
}

stop() {
    [ $# -ge 1 ] || usage
    dir=$(realpath -m "$1")
    [ -f "$dir/etc/inn.conf" ] || { echo "inn-server.sh: no instance in $dir" >&2; exit 1; }
    if [ -f "$dir/nnrpd.childpid" ]; then
        kill "$(cat "$dir/nnrpd.childpid")" 2>/dev/null || true
    fi
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
limit) limit "$@" ;;
*) usage ;;
esac
