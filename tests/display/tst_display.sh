#!/usr/bin/env bash
# The real program through a real X display: Xvfb, the local service, and a copy of quorrin
# built against that service's port, driven with real input events by xdotool.
# Usage: tst_display.sh <source dir> <build dir> <quorrin-localservice> <closewindow>
set -euo pipefail
source_dir=$1 build_dir=$2 service=$3 closewindow=$4
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local seconds=$1; shift
    for _ in $(seq $((seconds * 10))); do "$@" && return 0; sleep 0.1; done
    return 1
}

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 20 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(cat "$work/display")"

"$service" --port 0 >"$work/service.log" 2>&1 &
pids+=($!)
wait_for 20 grep -q listening "$work/service.log" || fail "the local service did not start"
port=$(sed -n 's|.*127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/service.log" | head -n 1)
echo "display $DISPLAY, local service on port $port"

# A copy of the program whose compiled-in endpoint is this service.
copy="$build_dir/display-copy"
cmake -S "$source_dir" -B "$copy" -DBUILD_TESTING=OFF \
      -DQUORRIN_SERVICE_URL="http://127.0.0.1:$port/v1.0/removebg" >/dev/null
cmake --build "$copy" --target quorrin -j"$(nproc)" >/dev/null

photos="$work/photos"
mkdir -p "$photos"
cp "$source_dir"/samples/*.jpg "$photos/"

LANG=C.UTF-8 "$copy/app/quorrin" >"$work/quorrin.log" 2>&1 &
app=$!
pids+=($app)
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Quorrin$' | head -n 1)
[ -n "$window" ] || fail "the window did not appear"
xdotool windowmove --sync "$window" 0 0
sleep 0.5

# Positions in the 737 x 311 window, Fusion style: the token field, the input field, and
# the start button at the top right.
xdotool mousemove 340 24 click 1
xdotool type --delay 20 "local-demo-key"
xdotool mousemove 260 56 click 1
xdotool type --delay 20 "$photos"
xdotool mousemove 686 32 click 1

outputs="$photos-no-bg-small"
check_outputs() {
    for source in "$photos"/*.jpg; do
        local output="$outputs/$(basename "$source")-no-bg.png"
        [ -f "$output" ] || return 1
        [ "$(identify -format '%wx%h' "$source")" = "$(identify -format '%wx%h' "$output")" ] || return 1
    done
}
wait_for 120 check_outputs || { ls -l "$outputs" 2>/dev/null; cat "$work/service.log"; fail "the outputs did not reach full size"; }

for source in "$photos"/*.jpg; do
    output="$outputs/$(basename "$source")-no-bg.png"
    channels=$(identify -format '%[channels]' "$output")
    [ "$channels" = "srgba" ] || fail "$output has channels $channels"
    range=$(convert "$output" -alpha extract -format '%[fx:minima] %[fx:maxima]' info:)
    [ "$range" != "0 0" ] && [ "$range" != "1 1" ] || fail "$output has a flat alpha ($range)"
    echo "ok: $(basename "$output") $(identify -format '%wx%h %[channels]' "$output"), alpha range $range"
done
[ "$(grep -c ' 200 ' "$work/service.log")" -eq 3 ] || fail "the service did not answer three uploads"

"$closewindow" "$window"
status=0
timeout 20 tail --pid="$app" -f /dev/null || fail "the program did not end after its window was closed"
wait "$app" || status=$?
[ "$status" -eq 0 ] || { cat "$work/quorrin.log"; fail "exit status $status"; }
if grep -q "QThread: Destroyed" "$work/quorrin.log"; then fail "a thread outlived its owner"; fi
echo "PASS: three photos cut out through the window, exit status 0"
