#!/bin/sh
# Warms Wine up for a test run in the prefix TAVO_WINEPREFIX names: a
# persistent wineserver (one already up for the prefix serves as well) and
# one program run to its end, so that Wine's own services are started here,
# apart from every test. A service started by a test's program would keep
# the test's output open for as long as the server lives, and CTest would
# wait for it until the test's timeout.
# "start" warms up; "stop" ends the server again if "start" began it.
: "${TAVO_WINEPREFIX:?TAVO_WINEPREFIX must name the Wine prefix}"
export WINEPREFIX="$TAVO_WINEPREFIX"
ours="$TAVO_WINEPREFIX.server-started"
case "${1:-start}" in
start)
    mkdir -p "$WINEPREFIX"
    if wineserver -p >/dev/null 2>&1 </dev/null; then
        touch "$ours"
    fi
    "$(dirname "$0")/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 </dev/null
    ;;
stop)
    if [ -f "$ours" ]; then
        wineserver -k >/dev/null 2>&1 || true
        rm -f "$ours"
    fi
    ;;
*)
    echo "usage: wine-warmup.sh [start|stop]" >&2
    exit 1
    ;;
esac
