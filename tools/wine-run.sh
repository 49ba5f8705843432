#!/bin/sh
# Runs a Windows program under Wine in the build tree's own prefix.
# TAVO_WINEPREFIX names the prefix; the first run creates it.
: "${TAVO_WINEPREFIX:?TAVO_WINEPREFIX must name the Wine prefix}"
export WINEPREFIX="$TAVO_WINEPREFIX"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    (
        flock 9
        [ -f "$WINEPREFIX/system.reg" ] || "$WINE" wineboot --init >/dev/null 2>&1
    ) 9>"$WINEPREFIX.lock"
fi
exec "$WINE" "$@"
