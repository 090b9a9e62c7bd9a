#!/bin/sh
# Makes docs/screenshot.png: quarnel in a real xterm on a virtual X display, typed at as a person
# would (1, then 3), captured to PNG. Needs xvfb, xterm, xdotool, x11-apps and imagemagick, and a
# built program: run it from the top directory after the README's build command.
set -eu
display=:42
tmp=$(mktemp -d)
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp > /dev/null 2>&1 &
xvfb=$!
xterm=
trap 'kill $xterm $xvfb 2> /dev/null; rm -rf "$tmp"' EXIT
export DISPLAY="$display" LANG=C.UTF-8 LC_ALL=C.UTF-8
sleep 1

# A dimmer default colour than xterm's, so that a white piece stands out from the uncoloured lines.
xterm -geometry 60x51+0+0 -fa 'DejaVu Sans Mono' -fs 11 -bg black -fg grey65 -u8 \
    -xrm 'XTerm*cursorBlink: false' -xrm 'XTerm*allowSendEvents: true' -e sh -c 'build/quarnel; sleep 30' &
xterm=$!
sleep 2
window=$(xdotool search --sync --class xterm | head -n 1)
for choice in 1 3; do
    xdotool type --window "$window" --delay 150 "$choice"
    xdotool key --window "$window" Return
    sleep 1
done

xwd -id "$window" -silent > "$tmp/window.xwd"
convert "$tmp/window.xwd" docs/screenshot.png
kill "$xterm"
wait "$xterm" 2> /dev/null || true
