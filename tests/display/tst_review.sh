#!/usr/bin/env bash
# The review window of the real program through a real X display, driven by xdotool with real
# keys and mouse: a stroke erased and saved reaches the master on disk and the white JPEG made
# beside it, with no upload; a stroke undone before saving leaves every file as it was.
# Usage: tst_review.sh <source dir> <build dir> <quorrin-localservice> <closewindow>
set -euo pipefail
source_dir=$1 build_dir=$2 service=$3 closewindow=$4
source "$source_dir/scripts/xsession.sh"
xsession_start_with_service "$service"
export QUORRIN_SERVICE_URL="http://127.0.0.1:$port/v1.0/removebg" XDG_CACHE_HOME="$work/cache" XDG_DATA_HOME="$work/data"
program="$build_dir/app/quorrin"

photos="$work/photos" results="$work/photos-no-bg-small"
mkdir -p "$photos"
cp "$source_dir"/samples/*.jpg "$photos/"
echo key >"$work/key"
"$program" --batch "$photos" --key-file "$work/key" --format jpg >"$work/batch.log" 2>&1 \
    || { cat "$work/batch.log"; xsession_fail "the batch failed"; }
uploads() { grep -c ' 200 ' "$work/service.log"; }
[ "$(uploads)" -eq 3 ] || xsession_fail "the batch sent $(uploads) photos, not 3"

LANG=C.UTF-8 LC_ALL=C.UTF-8 LANGUAGE= "$program" --review "$photos" --format jpg >"$work/review.log" 2>&1 &
XSESSION_APP=$!
XSESSION_PIDS+=($XSESSION_APP)
XSESSION_WINDOW=$(timeout 30 xdotool search --sync --onlyvisible --name '^Quorrin 审阅' | head -n 1)
[ -n "$XSESSION_WINDOW" ] || xsession_fail "the review window did not appear"
xdotool windowmove --sync "$XSESSION_WINDOW" 0 0
xdotool windowfocus --sync "$XSESSION_WINDOW"
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$XSESSION_WINDOW")"

# The photo the large view shows, from its title.
open_large() {
    # From the grid, whose title names no photo: a slow machine may not have left the last one yet.
    xsession_wait_for 10 sh -c "! xdotool getwindowname $XSESSION_WINDOW | grep -q '\.jpg$'" || xsession_fail "not back in the grid"
    xdotool key Return
    xsession_wait_for 10 sh -c "xdotool getwindowname $XSESSION_WINDOW | grep -q '\.jpg$'" || xsession_fail "no large view"
    shown=$(xdotool getwindowname "$XSESSION_WINDOW" | sed 's/.* — //')
}
# A horizontal stroke through the middle of the view with a brush 3.8 times the first.
erase_across() {
    xdotool key e bracketright bracketright bracketright bracketright bracketright bracketright
    local y=$(( (HEIGHT - 40) / 2 ))
    xdotool mousemove --window "$XSESSION_WINDOW" $((WIDTH * 3 / 10)) $y mousedown 1 \
        mousemove --window "$XSESSION_WINDOW" $((WIDTH / 2)) $y sleep 0.1 \
        mousemove --window "$XSESSION_WINDOW" $((WIDTH * 7 / 10)) $y mouseup 1
    sleep 0.3
}
centre_alpha() { convert "$1" -alpha extract -format '%[fx:int(255*p{w/2,h/2})]' info:; }
sums() { md5sum "$results"/* | sort; }

open_large
master="$results/$shown-no-bg.png" white="$results/$shown-no-bg.bg-white.jpg"
before=$(centre_alpha "$master") whiteBefore=$(md5sum <"$white")
[ "$before" -gt 200 ] || xsession_fail "the middle of $shown is not its subject (alpha $before)"
erase_across
xdotool key ctrl+s
xsession_wait_for 20 sh -c "[ \"\$(md5sum <'$white')\" != '$whiteBefore' ]" || xsession_fail "the white JPEG was not made again"
after=$(centre_alpha "$master")
[ "$after" -eq 0 ] || xsession_fail "the erased middle of $shown has alpha $after"
grep -aq 'edited=by hand' "$master" || xsession_fail "the saved master is not marked as edited"
[ "$(convert "$white" -format '%[fx:int(255*p{w/2,h/2}.r)]' info:)" -ge 250 ] || xsession_fail "the JPEG's erased middle is not white"
echo "ok: $shown erased across its middle (alpha $before -> $after), saved, its white JPEG made again"

# Undone before saving: nothing is written.
xdotool key Escape Right
open_large
second=$shown
unchanged=$(sums)
erase_across
xdotool key ctrl+z ctrl+s
sleep 1
[ "$(sums)" = "$unchanged" ] || xsession_fail "an undone stroke on $second changed a file"
echo "ok: a stroke on $second undone, and nothing written"
[ "$(uploads)" -eq 3 ] || xsession_fail "the review uploaded something"

# Delete on its tile puts its master in the trash, and the next batch sends that photo alone.
xdotool key Escape Delete
xsession_wait_for 10 test -f "$work/data/Trash/files/$second-no-bg.png" || xsession_fail "the master of $second is not in the trash"
[ ! -e "$results/$second-no-bg.png" ] || xsession_fail "the master of $second is still there"
"$program" --batch "$photos" --key-file "$work/key" --format jpg >"$work/again.log" 2>&1 || xsession_fail "the second batch failed"
[ "$(uploads)" -eq 4 ] && [ -f "$results/$second-no-bg.png" ] || xsession_fail "the second batch did not send $second alone"
echo "ok: $second sent again after Delete, alone"

# Nothing left unsaved, so the window closes without a question.
xsession_close_window "$closewindow"
timeout 20 tail --pid="$XSESSION_APP" -f /dev/null || xsession_fail "the program did not end after its review window was closed"
status=0
wait "$XSESSION_APP" || status=$?
[ "$status" -eq 0 ] || { cat "$work/review.log"; xsession_fail "exit status $status"; }
echo "PASS: a review edit saved without an upload, an undone one left no trace"
