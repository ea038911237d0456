#!/usr/bin/env bash
# Runs the Windows test binary under wine (WINE64, else wine64 or wine on PATH or where Debian
# keeps it) in a throwaway wine prefix, removed afterwards, and exits with the tests' status.
# Usage: tools/windows-test.sh build-windows/tests/zorel_tests.exe
set -euo pipefail
tests=${1:?usage: $0 path/to/zorel_tests.exe}
wine=${WINE64:-}
for candidate in wine64 wine /usr/lib/wine/wine64 /usr/lib/wine/wine; do
    [ -n "$wine" ] || wine=$(command -v "$candidate" || true)
done
[ -n "$wine" ] || { echo "wine64 or wine is needed to run the Windows tests" >&2; exit 1; }
server=$(dirname "$wine")/wineserver
[ -x "$server" ] || server=$(command -v wineserver || echo wineserver)
prefix=$(mktemp -d /tmp/zorel-wine.XXXXXX)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    "$server" -k 2>/dev/null || true  # this prefix's server only
    rm -rf "$prefix"
}
trap cleanup EXIT
"$wine" wineboot --init >/dev/null 2>&1
# The test binary writes Windows line ends; the log reads better without the "\r".
timeout 1200 "$wine" "$tests" 2>&1 | tr -d '\r'
