#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The krm59340 developers
# usage: test_headless.sh PROGRAM
# The command line runs where there is no display (over SSH) on the core alone: neither the program nor
# anything it loads may need a Qt GUI module or a window system's library. readelf shows that the program
# links Qt Core itself, ldd the whole closure the loader would bring in; then the program runs a command
# with no display to be found.
set -uo pipefail
program=$1 failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

gui='libQt6(Gui|Widgets|OpenGL|Quick|Qml|DBus)|libX11|libxcb|libGL|libEGL|libwayland|libxkbcommon|libfontconfig|libfreetype'
readelf -d "$program" | grep -q 'NEEDED.*\[libQt6Core' || fail "$program does not link Qt Core itself"
closure=$(ldd "$program") || fail "ldd $program failed"
if bad=$(grep -oE "($gui)[^ ]*" <<<"$closure"); then fail "$program loads $(tr '\n' ' ' <<<"$bad")"; fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# File names are taken as the bytes given, whether UTF-8 or not.
saved="$scratch/set$(printf '\377').csv" trace="$scratch/trace$(printf '\376').vcd"
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_CONFIG_HOME="$scratch" \
    "$program" --simulate --bus-trace="$trace" save "$saved" 2>&1) || fail "$program --simulate save without a display: $out"
[ -s "$saved" ] && [ -s "$trace" ] || fail "the channel file and the trace are not under the names given: $(ls "$scratch")"

[ "$failures" -eq 0 ] || exit 1
echo "$(basename "$program"): Qt Core only ($(wc -l <<<"$closure") libraries in all), runs without a display"
