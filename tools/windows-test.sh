#!/usr/bin/env bash
# Runs the Windows test binary under wine64 in a throwaway wine prefix, removed afterwards, and
# exits with the tests' status. Usage: tools/windows-test.sh build-windows/tests/zorel_tests.exe
set -euo pipefail
tests=${1:?usage: $0 path/to/zorel_tests.exe}
wine=${WINE64:-/usr/lib/wine/wine64}
prefix=$(mktemp -d /tmp/zorel-wine.XXXXXX)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    "$(dirname "$wine")/wineserver" -k 2>/dev/null || true  # this prefix's server only
    rm -rf "$prefix"
}
trap cleanup EXIT
"$wine" wineboot --init >/dev/null 2>&1
# The test binary writes Windows line ends; the log reads better without the "\r".
timeout 1200 "$wine" "$tests" 2>&1 | tr -d '\r'
