#!/bin/sh
# Fetches Debian's libdeflate source package through an apt configuration of its own (a source
# list with deb-src lines in a cache folder outside the tree; the system's apt setup is only
# read, never changed) and prints the folder of the unpacked sources. Reuses an earlier fetch.
# Usage: tools/libdeflate-source.sh [cache folder, default ~/.cache/zorel]
set -e
cache=${1:-${ZOREL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zorel}}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
found=$(ls -d "$cache"/libdeflate-*/lib 2>/dev/null | head -n 1)
if [ -n "$found" ]; then
    dirname "$found"
    exit 0
fi
apt="$cache/apt"
mkdir -p "$apt/lists/partial" "$apt/archives/partial" "$apt/sources.list.d"
# The release the machine runs, from the system's own list (bookworm when it names none).
suite=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-bookworm}")
# apt checks the downloaded files against the archive's signed index, with Debian's own key.
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
options=""
[ -f "$keyring" ] && options="[signed-by=$keyring] "
cat >"$apt/sources.list" <<LIST
deb-src ${options}http://deb.debian.org/debian $suite main
LIST
set -- -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/sources.list.d" \
    -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt" -o Dir::Cache::archives="$apt/archives" \
    -o Debug::NoLocking=1 -o APT::Sandbox::User="$(id -un)"
apt-get "$@" -qq update >&2
(cd "$cache" && apt-get "$@" -qq source --download-only libdeflate >&2)
(cd "$cache" && dpkg-source --no-check -x libdeflate_*.dsc >/dev/null)
dirname "$(ls -d "$cache"/libdeflate-*/lib | head -n 1)"
