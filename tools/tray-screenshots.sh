#!/bin/bash
# Screenshots of the running tray program for the README: the wizard's two
# pages, the balloons, the tray menu, the settings centre's three pages and
# the about box, taken in a Wine desktop on the test display against a
# reference server with the demo account.
#
# tools/tray-screenshots.sh [OUTDIR] [WIN_BUILD_DIR]
#   OUTDIR defaults to docs/tray, WIN_BUILD_DIR to build/win.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
win_build=$(cd "${2:-$root/build/win}" && pwd)
out=$(mkdir -p "${1:-$root/docs/tray}" && cd "${1:-$root/docs/tray}" && pwd)
for exe in client/app/TavoTessel.exe client/app/tray_screens.exe; do
    [ -f "$win_build/$exe" ] || { echo "build $(basename "$exe" .exe) first" >&2; exit 1; }
done
source "$root/tools/test-env.sh" "$win_build"
trap tavo_test_env_stop EXIT
python3 "$root/client/app/bench/tray_screens.py" --screens-exe "$win_build/client/app/tray_screens.exe" \
    --tray-exe "$win_build/client/app/TavoTessel.exe" --server-bin "${TAVO_SERVER_BIN:-$root/build/native/server/tessel-server}" \
    --work "$win_build/tray-screens" --screens "$out"
