#!/bin/sh
# Prints each test that skipped itself in the last ctest run of BUILD, with the reason it gave
# (GTEST_SKIP() << reason): ctest itself names skipped tests only.
log=${1:-build}/Testing/Temporary/LastTest.log
[ -f "$log" ] || exit 0
awk '
    /^[0-9]+\/[0-9]+ Test: / { sub(/^[0-9]+\/[0-9]+ Test: /, ""); test = $0 }
    /: Skipped$/ { reason = ""; reading = 1; next }
    reading && /^(\[  SKIPPED \]|Google Test trace:)/ { printf "Skipped %s: %s\n", test, reason; reading = 0; next }
    reading && NF { reason = reason (reason == "" ? "" : " ") $0 }
' "$log"
