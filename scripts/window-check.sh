#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# window-check.sh [SHOTS_DIR]: drags photos from another program onto the real window under Xvfb.
#
# 40 photos are dragged over (a real XDND drag from a small Qt drag source, driven by xdotool)
# and Esc is pressed a moment later: some but not all must be written, no .pixmill-*.tmp file may
# be left, the window must be alive. Then a second drag (photos, a cut JPEG, a file that is no
# PNG) must be resized as usual, and a row selected with the keyboard must be previewed. With
# SHOTS_DIR, the window is captured during the first batch (batch-running.png), after the second
# (batch-finished.png) and with the preview of a selected row (preview.png).
#
# Needs: a build in build/, Xvfb, xdotool, xwd (x11-apps), netpbm, g++ and Qt 6 development files.
# Photos: ../shared/testdata/photos, or PHOTOS=DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
shots=${1:-}
photos=${PHOTOS:-$root/../shared/testdata/photos}
work=$(mktemp -d /tmp/pixmill-window-check.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "window-check: $*" >&2; exit 1; }

g++ -std=c++17 -fPIC -O1 -o "$work/dragsource" scripts/dragsource.cpp $(pkg-config --cflags --libs Qt6Widgets)
mapfile -t sources < <(ls "$photos"/*.jpg)
[ ${#sources[@]} -gt 0 ] || fail "no photos in $photos"
mkdir -p "$work/first" "$work/second" "$work/config"
for i in $(seq 0 39); do cp "${sources[i % ${#sources[@]}]}" "$work/first/photo$(printf %02d "$i").jpg"; done
for i in 0 1 2 3 4 5; do cp "${sources[i % ${#sources[@]}]}" "$work/second/photo$i.jpg"; done
head -c $(( $(stat -c %s "${sources[0]}") * 6 / 10 )) "${sources[0]}" > "$work/second/cut.jpg"
echo "not a picture" > "$work/second/notes.png"

# Xvfb picks a free display itself and writes its number once it accepts connections: a fixed
# number could be another server's (several checks running at once).
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(head -1 "$work/display")
XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" build/app/pixmill >"$work/pixmill.log" 2>&1 &
pixmill=$!
pids+=($pixmill)
window=$(xdotool search --sync --onlyvisible --name '^Pixmill$' | head -1)
sleep 1

# Drags the given files from the drag source onto the middle of the window's list.
drag() {
  "$work/dragsource" "$@" >"$work/drag.log" 2>&1 &
  local id
  pids+=($!)
  id=$(xdotool search --sync --name '^dragsource$' | head -1)
  # Right of the window (900 wide), so that the screenshots do not show it.
  xdotool windowmove "$id" 910 20
  sleep 0.5
  xdotool mousemove 960 60 mousedown 1
  for x in 930 850 780 700 600 500 400 330; do xdotool mousemove $x 560; sleep 0.1; done
  sleep 0.2
  xdotool mouseup 1
  for _ in $(seq 50); do grep -q "drop action" "$work/drag.log" && break; sleep 0.1; done
  grep -q "drop action [24]" "$work/drag.log" || fail "the window did not take the drop: $(cat "$work/drag.log")"
}
# 256 colours keep the README's pictures small.
capture() { xwd -id "$window" | xwdtopnm 2>/dev/null | pnmquant 256 2>/dev/null | pnmtopng -compression 9 > "$1"; }
written() { find "$1/resized" -name '*.jpg' 2>/dev/null | wc -l; }

drag "$work"/first/*.jpg
sleep 1.5
[ -n "$shots" ] && capture "$shots/batch-running.png"
xdotool windowfocus --sync "$window" key Escape
# The files being resized when Esc came are finished; nothing is written after them.
sleep 3
before=$(written "$work/first")
sleep 1
[ "$(written "$work/first")" = "$before" ] || fail "files were still written 3 s after Esc"
count=$(written "$work/first")
echo "first batch: $count of 40 written after Esc"
[ "$count" -gt 0 ] && [ "$count" -lt 40 ] || fail "expected some but not all of 40 written, got $count"
temps=$(find "$work/first" -name '.pixmill-*.tmp' | wc -l)
[ "$temps" = 0 ] || fail "$temps temporary files left"
kill -0 "$pixmill" || fail "the window is gone"

drag "$work"/second/*
for _ in $(seq 100); do [ "$(written "$work/second")" -ge 7 ] && break; sleep 0.2; done
sleep 1
count=$(written "$work/second")
echo "second batch: $count of 7 pictures written (6 photos, 1 cut)"
[ "$count" = 7 ] || fail "the drop after the stop was not resized"
[ -n "$shots" ] && capture "$shots/batch-finished.png"
kill -0 "$pixmill" || fail "the window is gone"

# A click in the list, then Home and two rows down select the first photo; its preview is computed off the GUI thread.
xdotool mousemove --window "$window" 120 "$(( $(xdotool getwindowgeometry "$window" | sed -n 's/.*Geometry: [0-9]*x//p') - 150 ))" click 1
xdotool windowfocus --sync "$window" key Home Down Down
sleep 4
grep -q "preview" "$work/pixmill.log" && fail "the preview complained: $(cat "$work/pixmill.log")"
[ -n "$shots" ] && capture "$shots/preview.png"
kill -0 "$pixmill" || fail "the window is gone"
echo "window-check: passed"
