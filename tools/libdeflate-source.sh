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
# The archive the machine itself installs from, read from its apt configuration (deb822
# .sources files first, then one-line lists): the first binary entry's address, release and key,
# turned into a source line. No address is written here.
line=$(
    for f in /etc/apt/sources.list.d/*.sources; do [ -f "$f" ] && cat "$f" && echo; done |
        awk '/^[ \t]*$/ { if (deb && uri != "") exit; deb = 0; uri = ""; suite = ""; key = ""; next }
             /^#/ { next }
             { at = index($0, ":"); field = substr($0, 1, at - 1); value = substr($0, at + 1)
               sub(/^[ \t]+/, "", value); split(value, first, " ") }
             field == "Types" { deb = (" " value " ") ~ / deb / }
             field == "URIs" { uri = first[1] }
             field == "Suites" { suite = first[1] }
             field == "Signed-By" { key = value }
             END { if (deb && uri != "") print (key != "" ? "[signed-by=" key "] " : "") uri " " suite }'
)
if [ -z "$line" ] && [ -f /etc/apt/sources.list ]; then
    # deb [options] address release components...: all but the components.
    line=$(awk '$1 == "deb" { if ($2 ~ /^\[/) print $2, $3, $4; else print $2, $3; exit }' \
        /etc/apt/sources.list)
fi
if [ -z "$line" ]; then
    echo "libdeflate-source.sh: no deb line in /etc/apt/sources.list(.d); give apt a source" >&2
    exit 1
fi
cat >"$apt/sources.list" <<LIST
deb-src $line main
LIST
set -- -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/sources.list.d" \
    -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt" -o Dir::Cache::archives="$apt/archives" \
    -o Debug::NoLocking=1 -o APT::Sandbox::User="$(id -un)"
apt-get "$@" -qq update >&2
(cd "$cache" && apt-get "$@" -qq source --download-only libdeflate >&2)
(cd "$cache" && dpkg-source --no-check -x libdeflate_*.dsc >/dev/null)
dirname "$(ls -d "$cache"/libdeflate-*/lib | head -n 1)"
