# Helpers for driving the real window under Xvfb with xdotool; used by the display test
# and by scripts/screenshot.
# shellcheck shell=bash

XSESSION_PIDS=()

xsession_fail() { echo "FAIL: $*" >&2; exit 1; }

# Waits up to $1 seconds for the command after it to succeed.
xsession_wait_for() {
    local seconds=$1; shift
    for _ in $(seq $((seconds * 10))); do "$@" && return 0; sleep 0.1; done
    return 1
}

xsession_stop_all() {
    for pid in "${XSESSION_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
}

# Starts Xvfb on a free display and exports DISPLAY. $1: a scratch folder.
xsession_start_xvfb() {
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$1/display" 2>"$1/xvfb.log" &
    XSESSION_PIDS+=($!)
    xsession_wait_for 20 test -s "$1/display" || xsession_fail "Xvfb did not start"
    export DISPLAY=":$(cat "$1/display")"
}

# Starts the program ($1, output to $2) and sets XSESSION_APP and XSESSION_WINDOW.
xsession_open_window() {
    # The Chinese texts whatever the desktop's language: the tests and the screenshot read them.
    LANG=C.UTF-8 LC_ALL=C.UTF-8 LANGUAGE= "$1" >"$2" 2>&1 &
    XSESSION_APP=$!
    XSESSION_PIDS+=($XSESSION_APP)
    XSESSION_WINDOW=$(timeout 30 xdotool search --sync --onlyvisible --name '^Quorrin$' | head -n 1)
    [ -n "$XSESSION_WINDOW" ] || xsession_fail "the window did not appear"
    xdotool windowmove --sync "$XSESSION_WINDOW" 0 0
    sleep 0.5
}

# Types the key ($1) and the input path ($2), then presses "一键抠图", by keyboard focus
# alone, so that no font, style or scale can move what is pressed. The window opens with
# the token field focused; Tab then goes input field, its two buttons, output field, its
# two buttons, start button.
xsession_start_batch() {
    xdotool windowfocus --sync "$XSESSION_WINDOW"
    xdotool type --delay 20 "$1"
    xdotool key Tab
    xdotool type --delay 20 "$2"
    xdotool key --delay 50 Tab Tab Tab Tab Tab Tab space
}

# True once every photo of folder $1 has its full-size output in folder $2.
xsession_outputs_complete() {
    local source output
    for source in "$1"/*.jpg; do
        output="$2/$(basename "$source")-no-bg.png"
        [ -f "$output" ] || return 1
        [ "$(identify -format '%wx%h' "$source")" = "$(identify -format '%wx%h' "$output" 2>/dev/null)" ] || return 1
    done
}

# Closes the window as a window manager's close button would.
xsession_close_window() {
    "$1" "$XSESSION_WINDOW"
}

# Starts Xvfb and the local service on a free port, in a scratch folder it sets as $work and
# removes at exit; sets $port. $1: quorrin-localservice.
xsession_start_with_service() {
    work=$(mktemp -d)
    trap 'xsession_stop_all; rm -rf "$work"' EXIT
    xsession_start_xvfb "$work"
    "$1" --port 0 >"$work/service.log" 2>&1 &
    XSESSION_PIDS+=($!)
    xsession_wait_for 20 grep -q listening "$work/service.log" || xsession_fail "the local service did not start"
    port=$(sed -n 's|.*127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/service.log" | head -n 1)
}
