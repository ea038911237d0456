#!/usr/bin/env bash
# Fails when the sources hold an include circle: a file and its header taken as one unit, a unit
# that includes another which includes it back, directly or through others, is named.
set -euo pipefail
root=${1:-$(dirname "$0")/../src}
cd "$root"
find . -name '*.h' -o -name '*.cpp' | sed 's|^\./||' | sort | while read -r file; do
    unit=${file%.*}
    echo "unit $unit"
    sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file" |
        while read -r included; do
            if [ "${included%.*}" != "$unit" ]; then echo "edge $unit ${included%.*}"; fi
        done
done | awk '
    $1 == "unit" { units[$2] = 1 }
    $1 == "edge" { if (!(($2, $3) in edge)) { edge[$2, $3] = 1; out[$2]++; from[$3] = from[$3] " " $2 } }
    END {
        # Units that include nothing left are taken away until none is; what stays is in a circle.
        for (u in units) if (!out[u]) leaf[++n] = u
        for (i = 1; i <= n; i++) {
            k = split(from[leaf[i]], by, " ")
            for (j = 1; j <= k; j++) if (--out[by[j]] == 0) leaf[++n] = by[j]
        }
        for (u in units) if (out[u] > 0) { print "in or above an include circle: " u; bad = 1 }
        exit bad
    }'
