#!/bin/sh
# Makes sure the Debian packages named as arguments are installed: installs the missing ones
# when run as root, otherwise says which command installs them.
set -e
command -v dpkg-query >/dev/null 2>&1 || exit 0   # not Debian: the build says what it lacks
missing=""
for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
        missing="$missing $package"
done
[ -z "$missing" ] && exit 0
echo "Missing Debian packages:$missing"
if [ "$(id -u)" = 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends $missing
else
    echo "Install them with: sudo apt-get install -y$missing"
    exit 1
fi
