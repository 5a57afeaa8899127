#!/usr/bin/env bash
# The real program through a real X display: Xvfb, the local service, and quorrin pointed at
# that service's port by QUORRIN_SERVICE_URL, driven with real input events by xdotool.
# Usage: tst_display.sh <source dir> <build dir> <quorrin-localservice> <closewindow>
set -euo pipefail
source_dir=$1 build_dir=$2 service=$3 closewindow=$4
source "$source_dir/scripts/xsession.sh"
xsession_start_with_service "$service"
[ -n "$(fc-list :lang=zh-cn)" ] || xsession_fail "no font here draws Chinese"
echo "display $DISPLAY, local service on port $port, Chinese drawn in $(fc-match -f '%{family[0]}' 'sans:lang=zh-cn'), scale ${QT_SCALE_FACTOR:-1}"

program="$build_dir/app/quorrin"
status=0
QUORRIN_SERVICE_URL="ftp://127.0.0.1:$port/v1.0/removebg" timeout 20 "$program" 2>"$work/refused.log" || status=$?
[ "$status" -eq 2 ] && grep -q "QUORRIN_SERVICE_URL" "$work/refused.log" \
    || xsession_fail "a bad service address gave exit status $status: $(cat "$work/refused.log")"
# The build points at port 8711; the three answers below must come from this service alone.
export QUORRIN_SERVICE_URL="http://127.0.0.1:$port/v1.0/removebg"

photos="$work/photos"
outputs="$photos-no-bg-small"
mkdir -p "$photos"
cp "$source_dir"/samples/*.jpg "$photos/"

xsession_open_window "$program" "$work/quorrin.log"
xsession_start_batch "local-demo-key" "$photos"
xsession_wait_for 25 xsession_outputs_complete "$photos" "$outputs" \
    || { ls -l "$outputs" 2>/dev/null; cat "$work/service.log"; xsession_fail "the outputs did not reach full size"; }

for source in "$photos"/*.jpg; do
    output="$outputs/$(basename "$source")-no-bg.png"
    channels=$(identify -format '%[channels]' "$output")
    [ "$channels" = "srgba" ] || xsession_fail "$output has channels $channels"
    range=$(convert "$output" -alpha extract -format '%[fx:minima] %[fx:maxima]' info:)
    [ "$range" != "0 0" ] && [ "$range" != "1 1" ] || xsession_fail "$output has a flat alpha ($range)"
    echo "ok: $(basename "$output") $(identify -format '%wx%h %[channels]' "$output"), alpha range $range"
done
[ "$(grep -c ' 200 ' "$work/service.log")" -eq 3 ] || xsession_fail "the service did not answer three uploads"

xsession_close_window "$closewindow"
timeout 20 tail --pid="$XSESSION_APP" -f /dev/null || xsession_fail "the program did not end after its window was closed"
status=0
wait "$XSESSION_APP" || status=$?
[ "$status" -eq 0 ] || { cat "$work/quorrin.log"; xsession_fail "exit status $status"; }
if grep -q "QThread: Destroyed" "$work/quorrin.log"; then xsession_fail "a thread outlived its owner"; fi
echo "PASS: three photos cut out through the window, exit status 0"
