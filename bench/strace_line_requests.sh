#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The krm59340 developers
# System calls per line request of PosixSerialPort. Counts the calls of a run with 3 + N requests and of a
# run with 3, so start-up, shut-down and the one-off cost of the first exception cancel out.
# Usage: bench/strace_line_requests.sh [path/to/posix_line_requests] [N]
set -eu

bin=${1:-build/bench/posix_line_requests}
n=${2:-30000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Both runs print to a regular file: stdio probes a terminal with an extra ioctl. The count that matters is
# the ioctl calls: opening the port also looks through /proc for other holders, and how many files that
# reads depends on the processes running at the time.
strace -c -f -o "$work/base" "$bin" 3 >"$work/base.out"
strace -c -f -o "$work/many" "$bin" $((n + 3)) >"$work/many.out"

# strace -c rows: % time, seconds, usecs/call, calls, [errors,] syscall; the calls column is always the 4th.
counts() {
    awk '$NF != "total" && $NF != "syscall" && $4 ~ /^[0-9]+$/ { print $NF, $4 }' "$1" | sort
}
counts "$work/base" >"$work/base.calls"
counts "$work/many" >"$work/many.calls"

join -a 1 -a 2 -e 0 -o 0,1.2,2.2 "$work/base.calls" "$work/many.calls" | awk -v n="$n" '
    { extra = $3 - $2; if (extra != 0) printf "  %-16s %+d\n", $1, extra; total += extra; if ($1 == "ioctl") ioctls = extra }
    END { printf "%d line requests: %d ioctl calls, %.4f per line request (all calls: %d; the rest is\n", n, ioctls, ioctls / n, total
          printf "the open'"'"'s look through /proc for other holders, which differs with the processes running)\n" }'
