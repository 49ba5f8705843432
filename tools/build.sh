#!/bin/bash
# Installs what is needed and builds both trees: build/native (the
# reference server and the portable code, with sanitizers) and build/win
# (the Windows programs and their tests).
#
#   tools/build.sh          everything
#   tools/build.sh --demo   only what the demo runs: the reference server
#                           and TavoTesselSync
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TAVO_BUILD_DIR:-$root/build}"
jobs=$(nproc)
native_target=()
win_target=()
case "${1:-}" in
"") ;;
--demo) native_target=(--target tessel-server); win_target=(--target TavoTesselSync) ;;
*) echo "usage: $0 [--demo]" >&2; exit 1 ;;
esac

"$root/tools/setup.sh"

cmake -S "$root" -B "$build/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build/native" -j "$jobs" "${native_target[@]}"
cmake -S "$root" -B "$build/win" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DTAVO_SERVER_BIN="$build/native/server/tessel-server" >/dev/null
cmake --build "$build/win" -j "$jobs" "${win_target[@]}"
