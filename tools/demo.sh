#!/bin/bash
# The main job: builds what the demo needs, starts the reference server with
# a demo account on loopback and keeps a demo folder in two-way sync with it.
#
#   tools/demo.sh [--fresh] [--once] [--no-build]
#   tools/demo.sh --pc2 [--no-build]
#
# Files: build/demo/pc1 is the folder kept in sync; build/demo/pc2 is a
# second computer's copy, synced once at the start. Everything is kept from
# run to run: the server's data, both folders and what each computer knows
# of them. Stop with Ctrl+C; the server stops with the script.
#
#   --fresh     start afresh: both folders, their sync state and the
#               server's data are deleted and the sample files made again
#   --once      sync both computers once and end instead of keeping pc1 in
#               sync
#   --pc2       sync the second computer once, with the demo's server (the
#               running demo's, or one started for this run)
#   --no-build  use the programs as they are built already
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TAVO_BUILD_DIR:-$root/build}"
demo="$build/demo"
# The demo's places as the messages name them: from here when below.
here() { echo "${1#"$PWD"/}"; }

usage() { sed -n '5,6p' "$0" | sed 's/^# *//' >&2; exit 1; }
fresh=false once=false pc2_only=false build_first=true
for option in "$@"; do
    case "$option" in
    --fresh) fresh=true ;;
    --once) once=true ;;
    --pc2) pc2_only=true ;;
    --no-build) build_first=false ;;
    -h|--help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) usage ;;
    esac
done
$pc2_only && { $fresh || $once; } && usage

server_running() { [ -f "$demo/server/server.pid" ] && kill -0 "$(cat "$demo/server/server.pid")" 2>/dev/null; }
state_files() { rm -f "$demo"/wine-pc[12]/wineprefix/drive_c/users/*/AppData/Roaming/Tavo/Tessel/demo.user_cfg; }

if ! $pc2_only && server_running; then
    echo "demo: the demo runs already (server pid $(cat "$demo/server/server.pid")); stop it with Ctrl+C," \
         "or sync the second computer against it with: ./tools/demo.sh --pc2" >&2
    exit 1
fi
$build_first && "$root/tools/build.sh" --demo

if $fresh; then
    echo "== starting afresh: deleting $(here "$demo/pc1"), $(here "$demo/pc2"), their sync state and the server's data"
    rm -rf "$demo/pc1" "$demo/pc2" "$demo/server"
    state_files
fi

sync_tool="$build/win/client/shell/TavoTesselSync.exe"
run_sync() {
    local status=0
    "$root/tools/wine-run.sh" "$sync_tool" sync demo demo123 "$(winepath -w "$1" 2>/dev/null)" \
        --server "127.0.0.1:$TESSEL_SYNC_PORT" "${@:2}" || status=$?
    # Items in conflict or in error (6) are the user's to settle, not the demo's end.
    [ "$status" -eq 0 ] || [ "$status" -eq 6 ] || exit "$status"
}
start_server() {
    "$root/tools/server-fixture.sh" start "$demo/server" --keep --binary "$build/native/server/tessel-server" \
        --sync-port 0 --data-port 0 --http-port 0 >/dev/null
}
sync_pc2() {
    echo "== pc2, a second computer (a Wine prefix of its own): what the server holds comes down"
    mkdir -p "$demo/pc2"
    TAVO_WINEPREFIX="$demo/wine-pc2/wineprefix" run_sync "$demo/pc2" --once
    echo "== pc2 now holds:"
    (cd "$demo/pc2" && find . -mindepth 1 | sort | sed 's|^\./|   |')
}

if $pc2_only; then
    source "$root/tools/test-env.sh" "$demo/wine-pc2"
    started=false
    if ! server_running; then
        start_server
        started=true
    fi
    cleanup_pc2() {
        $started && "$root/tools/server-fixture.sh" stop "$demo/server"
        tavo_test_env_stop
    }
    trap cleanup_pc2 EXIT
    source "$demo/server/server.env"
    sync_pc2
    exit 0
fi

[ -f "$demo/wine-pc1/wineprefix/.tavo-ready" ] ||
    echo "== a first run: making the Wine prefixes of the two computers (half a minute or so)"
source "$root/tools/test-env.sh" "$demo/wine-pc1"
new_data=false
[ -d "$demo/server/data" ] || new_data=true
start_server
source "$demo/server/server.env"
cleanup() {
    "$root/tools/server-fixture.sh" stop "$demo/server"
    tavo_test_env_stop
}
trap cleanup EXIT

if $new_data; then
    # What the computers knew belongs to another server's data.
    state_files
    if [ -z "$(ls -A "$demo/pc1" 2>/dev/null)" ]; then
        mkdir -p "$demo/pc1/docs"
        echo "hello from pc1" > "$demo/pc1/hello.txt"
        echo "the plan" > "$demo/pc1/docs/plan.txt"
        head -c 3000000 /dev/urandom > "$demo/pc1/docs/photo.bin"
    fi
    echo "== a new demo: sample files in $(here "$demo/pc1") (later runs keep whatever is there)"
else
    echo "== the demo as the last run left it ($(here "$demo"); ./tools/demo.sh --fresh starts afresh)"
fi
mkdir -p "$demo/pc1"

echo "== pc1: local changes go up"
TAVO_WINEPREFIX="$demo/wine-pc1/wineprefix" run_sync "$demo/pc1" --once
sync_pc2

echo "== the web pages: http://127.0.0.1:$TESSEL_HTTP_PORT/ (sign in as demo / demo123)"
$once && exit 0
echo "== keeping $(here "$demo/pc1") in sync: change, add, rename or delete files there and watch the lines below."
echo "   Changes from the web pages or pc2 show at the next scan (after a minute or two, up to ten when all is quiet);"
echo "   ./tools/demo.sh --pc2 in another terminal syncs pc2 again. Ctrl+C stops."
TAVO_WINEPREFIX="$demo/wine-pc1/wineprefix" run_sync "$demo/pc1"
