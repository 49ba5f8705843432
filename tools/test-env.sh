# Sourced: starts the test environment for a Windows build tree ($1): the
# Wine prefix inside it, a persistent wineserver and an Xvfb display.
tavo_win_build=$(mkdir -p "$1" && cd "$1" && pwd)
export TAVO_WINEPREFIX="$tavo_win_build/wineprefix"
export WINEPREFIX="$TAVO_WINEPREFIX"
export WINEDEBUG=-all
# The display first: a Wine desktop started before it would stay without
# a graphics driver for a while, and windows created meanwhile would fail.
if [ -z "${DISPLAY:-}" ]; then
    for n in $(seq 91 130); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        tavo_xvfb_pid=$!
        export DISPLAY=":$n"
        break
    done
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ] && break; sleep 0.1; done
fi
# One persistent server for the whole run, started before any program so
# that even the creation of the prefix uses it, and warmed up. It belongs
# to this environment, which stops it, not to the warm-up of a CTest run.
"$(dirname "${BASH_SOURCE[0]}")/wine-warmup.sh" start || true
rm -f "$TAVO_WINEPREFIX.server-started"
# Chinese dialog texts render with an installed CJK font.
"$(dirname "${BASH_SOURCE[0]}")/wine-cjk-fonts.sh" || echo "test-env: CJK fonts not mapped" >&2
tavo_test_env_stop() {
    WINEPREFIX="$TAVO_WINEPREFIX" wineserver -k >/dev/null 2>&1 || true
    [ -n "${tavo_xvfb_pid:-}" ] && kill "$tavo_xvfb_pid" 2>/dev/null || true
}
