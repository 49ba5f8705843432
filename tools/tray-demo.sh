#!/bin/bash
# Starts the reference server with the demo accounts (demo/demo123) and the
# tray program TavoTessel.exe in a Wine desktop on the display, in a Wine
# prefix of its own (build/tray-demo/prefix), so that a person can click
# through the setup wizard, watch the icon and tips and use the menu and
# the settings centre. Ctrl+C stops the program and the server.
#
# tools/tray-demo.sh [--fresh]   --fresh starts from a new profile (no account)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TAVO_BUILD_DIR:-$root/build}"
demo="$build/tray-demo"
[ -n "${DISPLAY:-}" ] || { echo "tray-demo: set DISPLAY to the X display to show the Wine desktop on" >&2; exit 1; }
[ -f "$build/win/client/app/TavoTessel.exe" ] || "$root/tools/build.sh"
[ "${1:-}" = "--fresh" ] && rm -rf "$demo/prefix"
mkdir -p "$demo"
export TAVO_WINEPREFIX="$demo/prefix"

# The client tries the sync ports 6666, 6766, ... in turn: the demo server
# takes the first one, and the web pages the client opens are on 8765.
"$root/tools/server-fixture.sh" start "$demo/server" --sync-port 6666 --data-port 0 --http-port 8765 \
    --binary "$build/native/server/tessel-server"
stop() {
    WINEPREFIX="$TAVO_WINEPREFIX" wineserver -k 2>/dev/null || true
    "$root/tools/server-fixture.sh" stop "$demo/server"
}
trap stop EXIT INT TERM
WINEPREFIX="$TAVO_WINEPREFIX" "$root/tools/wine-cjk-fonts.sh" >/dev/null 2>&1 || true
echo "server: $demo/server (log server.log); sign on as demo / demo123"
"$root/tools/wine-run.sh" explorer /desktop=TavoTessel,1024x768 \
    "Z:$(echo "$build/win/client/app/TavoTessel.exe" | tr / '\\')"
