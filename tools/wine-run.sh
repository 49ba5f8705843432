#!/bin/sh
# Runs a Windows program under Wine in the build tree's own prefix.
# TAVO_WINEPREFIX names the prefix; the first run creates it.
: "${TAVO_WINEPREFIX:?TAVO_WINEPREFIX must name the Wine prefix}"
export WINEPREFIX="$TAVO_WINEPREFIX"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)
# A persistent wineserver writes the registry files late, so a marker of
# our own says that the prefix is ready.
ready="$WINEPREFIX/.tavo-ready"
if [ ! -f "$ready" ]; then
    mkdir -p "$WINEPREFIX"
    (
        flock 9
        if [ ! -f "$ready" ]; then
            # Not inherited: the prefix's services outlive wineboot and
            # would hold the lock for good if this creation never finished.
            "$WINE" wineboot --init >/dev/null 2>&1 9>&- && touch "$ready"
        fi
    ) 9>"$WINEPREFIX.lock"
fi
exec "$WINE" "$@"
