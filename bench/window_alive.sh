#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The krm59340 developers
# The window's liveliness under a real (virtual) X server: window_alive with no latency and with 1 ms per
# line request, as on a USB adapter.
# Usage: bench/window_alive.sh [path/to/window_alive]
set -eu
bin=${1:-build/bench/window_alive}
for latency in 0 1ms; do
    QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" "$bin" "$latency"
done
