#!/bin/bash
# Installs what is needed, builds the Windows and the native trees and runs
# every test. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TAVO_BUILD_DIR:-$root/build}"
jobs=$(nproc)

"$root/tools/build.sh"

# One wineserver and one X display stay up for the whole run.
source "$root/tools/test-env.sh" "$build/win"
trap tavo_test_env_stop EXIT

status=0
ctest --test-dir "$build/native" --output-on-failure -j "$jobs" || status=1
ctest --test-dir "$build/win" --output-on-failure -j "$jobs" || status=1
exit $status
