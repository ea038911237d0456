#!/bin/sh
# Makes sure the Debian packages named as arguments are installed: installs the missing ones
# when run as root, otherwise says which command installs them. An argument "a|b" is met by
# either package; the first one the package lists know is installed (names differ by release).
set -e
command -v dpkg-query >/dev/null 2>&1 || exit 0   # not Debian: the build says what it lacks
installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"
}
missing=""
for wanted in "$@"; do
    met=""
    for package in $(echo "$wanted" | tr '|' ' '); do
        if installed "$package"; then met=yes; fi
    done
    [ -n "$met" ] || missing="$missing $wanted"
done
[ -z "$missing" ] && exit 0
echo "Missing Debian packages:$missing"
if [ "$(id -u)" != 0 ]; then
    echo "Install them with: sudo apt-get install -y$(echo "$missing" | sed 's/|[^ ]*//g')"
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
chosen=""
for wanted in $missing; do
    pick=""
    for package in $(echo "$wanted" | tr '|' ' '); do
        if [ -z "$pick" ] && apt-cache show "$package" >/dev/null 2>&1; then pick=$package; fi
    done
    chosen="$chosen ${pick:-${wanted%%|*}}"  # none known: apt-get names the first
done
apt-get install -y --no-install-recommends $chosen
