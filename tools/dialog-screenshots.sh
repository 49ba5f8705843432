#!/bin/bash
# Takes a screenshot of every dialog resource of TavoTessel.exe: each is
# shown by the dialog preview inside a Wine virtual desktop on the test
# display, with the CJK font mapped in the test prefix, and the desktop is
# grabbed with ImageMagick and cut to the dialog.
#
# tools/dialog-screenshots.sh [OUTDIR] [WIN_BUILD_DIR]
#   OUTDIR defaults to WIN_BUILD_DIR/screenshots, WIN_BUILD_DIR to build/win.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
win_build=$(cd "${2:-$root/build/win}" && pwd)
out=$(mkdir -p "${1:-$win_build/screenshots}" && cd "${1:-$win_build/screenshots}" && pwd)
preview="$win_build/client/ui/tests/dialog_preview.exe"
[ -f "$preview" ] || { echo "build dialog_preview first" >&2; exit 1; }

source "$root/tools/test-env.sh" "$win_build"
work=$(mktemp -d)
trap 'rm -rf "$work"; [ -n "${tavo_xvfb_pid:-}" ] && tavo_test_env_stop' EXIT
to_windows() { echo "Z:$(echo "$1" | tr / '\\')"; }

# Polls for a file, at most 60 s.
wait_for_file() {
    for _ in $(seq 600); do [ -s "$1" ] && return 0; sleep 0.1; done
    return 1
}

status=0
for dialog in 101 104 105 108 110 112 113; do
    ready="$work/ready-$dialog" stop="$work/stop-$dialog"
    "$root/tools/wine-run.sh" explorer /desktop=TavoShots,1024x768 "$(to_windows "$preview")" "$dialog" \
        --ready "$(to_windows "$ready")" --stop "$(to_windows "$stop")" >/dev/null 2>&1 &
    pid=$!
    if ! wait_for_file "$ready"; then
        echo "dialog $dialog: not shown" >&2
        status=1
        kill "$pid" 2>/dev/null || true
        continue
    fi
    read -r left top right bottom < <(tr -d '\r' < "$ready")
    import -window root -display "$DISPLAY" "$work/desktop.png"
    convert "$work/desktop.png" -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "$out/dialog_$dialog.png"
    touch "$stop"
    wait "$pid" || true
    echo "$out/dialog_$dialog.png"
done
exit $status
