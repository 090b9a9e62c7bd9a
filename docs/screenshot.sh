#!/bin/sh
# Makes docs/screenshot.png, or the file named, of quarnel in a real xterm on a virtual X display,
# typed at as a person would (1, then 3). The PNG holds no time stamps, so the same picture gives
# the same bytes, and the tracked file changes only when the picture does. Needs xvfb, xterm,
# xdotool, x11-apps and imagemagick, and a built program: run it from the top directory after the
# README's build command.
set -eu
picture=${1:-docs/screenshot.png}
tmp=$(mktemp -d)
xvfb=
xterm=
# Whatever happens, nothing is left running and nothing is left behind.
trap 'kill $xterm $xvfb 2> /dev/null || true; rm -rf "$tmp"' EXIT

# Xvfb takes a display nobody uses, and writes its number when it is ready.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3> "$tmp/display" > /dev/null 2>&1 &
xvfb=$!
for _ in $(seq 50); do
    [ -s "$tmp/display" ] && break
    sleep 0.1
done
display=$(cat "$tmp/display")
if [ -z "$display" ]; then
    echo "screenshot.sh: Xvfb did not start" >&2
    exit 1
fi
export DISPLAY=":$display" LANG=C.UTF-8 LC_ALL=C.UTF-8

# A dimmer default colour than xterm's, so that a white piece stands out from the uncoloured lines.
xterm -geometry 60x51+0+0 -fa 'DejaVu Sans Mono' -fs 11 -bg black -fg grey65 -u8 \
    -xrm 'XTerm*cursorBlink: false' -e sh -c 'build/quarnel; sleep 30' &
xterm=$!
window=$(xdotool search --sync --class xterm | head -n 1)
# With no window manager the window must be given the focus, for the keys to reach it.
xdotool windowfocus --sync "$window"
sleep 1
for choice in 1 3; do
    xdotool type --delay 150 "$choice"
    xdotool key Return
    sleep 1
done

xwd -id "$window" -silent > "$tmp/window.xwd"
convert "$tmp/window.xwd" -strip "$picture"
