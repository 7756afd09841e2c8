#!/bin/sh
# Counts the includes of project headers between top-level folders (tests left out), one row per
# "from -> to" pair, and names every pair of folders that include each other. A house in
# layers prints no such pair. Run from anywhere in the checkout.
cd "$(dirname "$0")/.." || exit 1
git ls-files '*.h' '*.cpp' | grep -v '^tests/' | grep -v '/.*_test\.cpp$' | while read -r file; do
    from=${file%%/*}
    sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file" |
        while read -r inc; do
            case $inc in */*) to=${inc%%/*} ;; *) to=$from ;; esac
            [ "$to" = "$from" ] || echo "$from -> $to"
        done
done | sort | uniq -c | awk '
    { n[$2 " " $4] = $1; print }
    END {
        for (k in n) { split(k, p, " "); if ((p[2] " " p[1]) in n && p[1] < p[2]) { print "cycle: " p[1] " <-> " p[2]; bad = 1 } }
        exit bad
    }'
