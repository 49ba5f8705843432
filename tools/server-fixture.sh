#!/bin/bash
# Starts and stops a tessel-server for tests.
#
#   tools/server-fixture.sh start WORKDIR [--sync-port P] [--data-port P] [--http-port P]
#                                         [--binary PATH] [--idle-timeout S] [--keep]
#   tools/server-fixture.sh stop WORKDIR
#
# start makes a fresh data directory WORKDIR/data (--keep: keeps the one an
# earlier start made, with everything stored there) with the test accounts
#   demo/demo123     1 GiB
#   small/small123   100 KiB
#   frozen/frozen123 1 GiB, frozen
# serves WORKDIR/static under /static/, starts the server in the background
# (log in WORKDIR/server.log, pid in WORKDIR/server.pid) and returns once it
# accepts connections. The ports it listens on are printed and written to
# WORKDIR/server.env as TESSEL_SYNC_PORT, TESSEL_DATA_PORT, TESSEL_HTTP_PORT.
# Port 0 picks a free port; without --sync-port the server takes the first
# free one of 6666, 6766, ..., 7566 as the client tries them. The binary is --binary, else $TESSEL_SERVER_BINARY,
# else build/native/server/tessel-server of this repository.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

die() { echo "server-fixture: $*" >&2; exit 1; }

stop_server() {
    local dir=$1 pid
    [ -f "$dir/server.pid" ] || return 0
    pid=$(cat "$dir/server.pid")
    if kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$dir/server.pid"
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

[ $# -ge 2 ] || die "usage: $0 start|stop WORKDIR [options]"
action=$1
dir=$2
shift 2

case "$action" in
stop)
    stop_server "$dir"
    exit 0
    ;;
start) ;;
*) die "unknown action $action" ;;
esac

binary=${TESSEL_SERVER_BINARY:-$root/build/native/server/tessel-server}
serve_args=()
keep=false
while [ $# -gt 0 ]; do
    case "$1" in
    --binary) binary=$2; shift 2 ;;
    --keep) keep=true; shift ;;
    --sync-port|--data-port|--http-port|--idle-timeout) serve_args+=("$1" "$2"); shift 2 ;;
    *) die "unknown option $1" ;;
    esac
done
[ -x "$binary" ] || die "no server binary at $binary"

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
stop_server "$dir"
rm -f "$dir/server.log" "$dir/server.env"
mkdir -p "$dir/static"

if ! $keep || [ ! -d "$dir/data" ]; then
    rm -rf "$dir/data"
    "$binary" init "$dir/data"
    "$binary" add-account "$dir/data" demo demo123 1G
    "$binary" add-account "$dir/data" small small123 100K
    "$binary" add-account "$dir/data" frozen frozen123 1G --frozen
fi

nohup "$binary" serve "$dir/data" --static "$dir/static" "${serve_args[@]}" \
    >/dev/null 2>"$dir/server.log" </dev/null &
pid=$!
echo "$pid" >"$dir/server.pid"

# The server logs one "listening:" line once every port is open.
deadline=$((SECONDS + 30))
line=""
while [ $SECONDS -lt $deadline ]; do
    kill -0 "$pid" 2>/dev/null || { cat "$dir/server.log" >&2; rm -f "$dir/server.pid"; die "server exited"; }
    line=$(grep -m1 'listening: ' "$dir/server.log" || true)
    [ -n "$line" ] && break
    sleep 0.05
done
[ -n "$line" ] || { stop_server "$dir"; die "server did not start in time"; }

sync=$(sed -E 's/.*sync [0-9.]+:([0-9]+),.*/\1/' <<<"$line")
data=$(sed -E 's/.*data ([0-9]+),.*/\1/' <<<"$line")
http=$(sed -E 's/.*http ([0-9]+).*/\1/' <<<"$line")
port_open "$sync" || { stop_server "$dir"; die "sync port $sync does not accept connections"; }
printf 'TESSEL_SYNC_PORT=%s\nTESSEL_DATA_PORT=%s\nTESSEL_HTTP_PORT=%s\n' "$sync" "$data" "$http" >"$dir/server.env"
echo "server-fixture: tessel-server on 127.0.0.1, sync port $sync, data port $data, http port $http" \
     "(in $dir/server.env)"
