#!/bin/bash
# The main job: builds everything, starts the reference server with a demo
# account on loopback and keeps a demo folder in two-way sync with it.
#
# Files: build/demo/pc1 is the folder kept in sync; build/demo/pc2 is a
# second computer's copy, filled from the server at the start. Stop with
# Ctrl+C; the server stops with the script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TAVO_BUILD_DIR:-$root/build}"
demo="$build/demo"

"$root/tools/build.sh"
source "$root/tools/test-env.sh" "$build/win"

"$root/tools/server-fixture.sh" start "$demo/server" --binary "$build/native/server/tessel-server" \
    --data-port 0 --http-port 0
source "$demo/server/server.env"
cleanup() {
    "$root/tools/server-fixture.sh" stop "$demo/server"
    tavo_test_env_stop
}
trap cleanup EXIT

# The server starts with fresh data, so both computers forget what they
# knew of the old one.
rm -rf "$demo/pc1" "$demo/pc2"
rm -f "$TAVO_WINEPREFIX"/drive_c/users/*/AppData/Roaming/Tavo/Tessel/demo.user_cfg \
      "$demo"/pc2-prefix/drive_c/users/*/AppData/Roaming/Tavo/Tessel/demo.user_cfg
mkdir -p "$demo/pc1/docs" "$demo/pc2"
echo "hello from pc1" > "$demo/pc1/hello.txt"
echo "the plan" > "$demo/pc1/docs/plan.txt"
head -c 3000000 /dev/urandom > "$demo/pc1/docs/photo.bin"

sync_tool="$build/win/client/shell/TavoTesselSync.exe"
run_sync() {
    "$root/tools/wine-run.sh" "$sync_tool" sync demo demo123 "$(winepath -w "$1" 2>/dev/null)" \
        --server "127.0.0.1:$TESSEL_SYNC_PORT" "${@:2}"
}

echo "== pc1: files going up"
run_sync "$demo/pc1" --once
echo "== pc2: the same files coming down"
# A second computer: its own Wine prefix, so its own state file.
TAVO_WINEPREFIX="$demo/pc2-prefix" run_sync "$demo/pc2" --once
ls -lR "$demo/pc2"

echo "== the web pages: http://127.0.0.1:$TESSEL_HTTP_PORT/ (sign in as demo / demo123)"
echo "== keeping $demo/pc1 in sync with the server; change files there, Ctrl+C stops"
run_sync "$demo/pc1"
