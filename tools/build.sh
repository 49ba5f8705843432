#!/bin/bash
# Installs what is needed and builds both trees: build/native (the
# reference server and the portable code, with sanitizers) and build/win
# (the Windows programs and their tests).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TAVO_BUILD_DIR:-$root/build}"
jobs=$(nproc)

"$root/tools/setup.sh"

cmake -S "$root" -B "$build/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build/native" -j "$jobs"
cmake -S "$root" -B "$build/win" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DTAVO_SERVER_BIN="$build/native/server/tessel-server" >/dev/null
cmake --build "$build/win" -j "$jobs"
