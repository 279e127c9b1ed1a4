#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The krm59340 developers
# A lost display connection ends the program from inside Qt, past every close handler: the session's
# settings must be written all the same, as an orderly end writes them.
# Usage: test_display_lost.sh path/to/krm59340
set -eu
bin=$1
command -v Xvfb >/dev/null || { echo "Xvfb is not installed"; exit 77; }
work=$(mktemp -d) xvfb="" prog=""
trap 'kill $prog $xvfb 2>/dev/null || true; rm -rf "$work"' EXIT

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
DISPLAY=:$(cat "$work/display")
export DISPLAY

# The trace's name is not UTF-8: the file must be written under the bytes given.
trace="$work/trace$(printf '\376').vcd"
XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb "$bin" --simulate --bus-trace "$trace" >"$work/out" 2>&1 &
prog=$!
shown() { xwininfo -root -tree 2>/dev/null | grep -q '"KRM59340"'; }
for _ in $(seq 200); do shown && break; sleep 0.1; done
shown || { echo "the window never appeared"; cat "$work/out"; exit 1; }
sleep 0.5 # the start-up's read of the chip

kill "$xvfb"
xvfb=""
for _ in $(seq 100); do kill -0 "$prog" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$prog" 2>/dev/null; then echo "the program outlived its display"; exit 1; fi
prog=""

for key in vref_high0 vref_high1 a0 PortNumb BitRate; do
    grep -q "^\[$key\]" "$work/config/KRM72340.ini" || { echo "no [$key] in the settings written"; cat "$work/out"; exit 1; }
done
[ -s "$trace" ] || { echo "no trace under its own name:"; ls "$work"; exit 1; }
echo "settings and trace written after the display was lost"
