// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

namespace bus {
class Interrupter;
}

namespace cli {

// Ctrl-C (SIGINT), SIGTERM and SIGHUP (an SSH session that drops) ask the bus work to stop at the next
// transaction boundary instead of killing the program in the middle of a byte: the bus is left idle, the
// port and its lock are given back and the trace is complete. The program then ends by the same signal, so
// a calling shell sees it was interrupted.
class StopSignals {
public:
    // Installs the handlers; a signal that arrives before an interrupter is attached is kept for it.
    static void install();
    // Where the stop requests go from now on (nullptr: nowhere).
    static void attach(bus::Interrupter* interrupter);
    // The signal that asked to stop, 0 when none did.
    static int caught();
    // Its name for a message: "SIGINT (Ctrl-C)".
    static const char* caughtName();
    // Ends the program by the signal caught, with its default action.
    [[noreturn]] static void endByCaughtSignal();
    // Sleeps for the given seconds, or less when the interrupter is asked to stop meanwhile: false then.
    // Race-free: a signal that arrives just before the sleep still ends it.
    static bool sleepUnlessStopped(double seconds, const bus::Interrupter& interrupter);
    // Waits until the descriptor has something to read (or its end), or the interrupter is asked to stop:
    // false then. Race-free as sleepUnlessStopped.
    static bool waitReadable(int fd, const bus::Interrupter& interrupter);
};

} // namespace cli
