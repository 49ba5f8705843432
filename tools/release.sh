#!/bin/bash
# Builds a release and publishes it for the updater, in one command:
#
#   tools/release.sh VERSION [--build N] [--out DIR] [--base-url URL] [-- CMAKE_OPTIONS...]
#
# VERSION is the product version, four numbers (1.0.0.2); the build number N,
# the file version's fourth part, defaults to VERSION's fourth number. The
# programs and the installer are built with that version in build/release
# (CMAKE_OPTIONS such as -DTAVO_HTTP_BASE=... go to its configuration);
# the installer TavoTesselSetup-VERSION.exe and the update manifest
# tessel.xml are then written into DIR (default build/static), the folder
# that the reference server serves under /static/:
#
#   tessel-server serve DATA --static DIR
#
# The installer's address in the manifest is URL + its file name; URL
# defaults to the folder of this build's update manifest URL
# (TAVO_UPDATE_MANIFEST_URL, http://127.0.0.1:8765/static/tessel.xml unless
# configured otherwise).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

die() { echo "release: $*" >&2; exit 1; }

[ $# -ge 1 ] || die "usage: $0 VERSION [--build N] [--out DIR] [--base-url URL] [-- CMAKE_OPTIONS...]"
version=$1
shift
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "VERSION must be four numbers, such as 1.0.0.2"
build=${version##*.}
out="$root/build/static"
base_url=""
cmake_options=()
while [ $# -gt 0 ]; do
    case "$1" in
    --build) build=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --base-url) base_url=$2; shift 2 ;;
    --) shift; cmake_options=("$@"); break ;;
    *) die "unknown option $1" ;;
    esac
done

tree="${TAVO_BUILD_DIR:-$root/build}/release"
"$root/tools/setup.sh"
cmake -S "$root" -B "$tree" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DTAVO_VERSION="$version" -DTAVO_BUILD_NUMBER="$build" "${cmake_options[@]}" >/dev/null
cmake --build "$tree" --target TavoTesselSetup -j "$(nproc)"

installer="$tree/installer/TavoTesselSetup-$version.exe"
[ -f "$installer" ] || die "no installer at $installer"
if [ -z "$base_url" ]; then
    manifest_url=$(sed -n 's/^TAVO_UPDATE_MANIFEST_URL:[A-Z]*=//p' "$tree/CMakeCache.txt")
    base_url="${manifest_url%/*}/"
fi
python3 "$root/tools/update_manifest.py" "$installer" --version "$version" --base-url "$base_url" --out "$out"
