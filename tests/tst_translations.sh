#!/bin/bash
# Brings a copy of each .ts file up to date with the sources, as lupdate would the file itself;
# the copy must hold no text without a translation ("unfinished") and no translation of a text
# the sources no longer have ("vanished", "obsolete").
# Usage: tst_translations.sh LUPDATE SOURCE_FOLDER... -- TS_FILE...
set -euo pipefail
lupdate=$1
shift
sources=()
while [ "$1" != "--" ]; do
    sources+=("$1")
    shift
done
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for ts in "$@"; do
    copy="$work/$(basename "$ts")"
    cp "$ts" "$copy"
    "$lupdate" -silent -locations none "${sources[@]}" -ts "$copy"
    stale=$(grep -c -E 'type="(unfinished|vanished|obsolete)"' "$copy" || true)
    if [ "$stale" -ne 0 ]; then
        echo "$(basename "$ts"): $stale text(s) to translate or to remove (cmake --build build --target quorrin_lupdate):"
        grep -B1 -E 'type="(unfinished|vanished|obsolete)"' "$copy" | grep -v '^--$'
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "every text translated in: $*"
exit "$status"
