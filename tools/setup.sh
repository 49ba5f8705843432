#!/bin/sh
# Installs every Debian package the build and the tests need. Safe to run
# again: when everything is present it only checks and returns.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
wanted=$(grep -v '^#' "$here/packages.txt" | grep -v '^$')
missing=""
for p in $wanted; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
