// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "serial/serial_port.h"

#include <QString>

namespace bus {

// What the check of the two bus lines found when the port was opened.
enum class LineHealth {
    Unchecked,            // no port open: there are no lines to check
    Ok,                   // SDA follows our drive and is high when released
    Recovered,            // a device held SDA low; clock pulses freed it, and the lines then checked out
    ReadbackNeverAsserts, // pulling SDA low did not assert DSR: the read-back does not follow
    SdaStaysLow,          // SDA reads low even when released, and nine clock pulses did not free it
    ReadbackFollowsScl,   // DSR follows our SCL drive, not SDA: the read-back is wired to SCL
    NoModemLines,         // the port refuses to set or read its modem lines (a plain pty, no modem control)
    ByAdapter,            // a kernel I2C adapter: its driver watches and recovers the bus, we have no lines
};

struct LineCheck {
    LineHealth health = LineHealth::Unchecked;
    int recoveryPulses = 0; // clock pulses it took to free SDA (Recovered)
    QString refusal = {};   // the port's reason (NoModemLines), in the system's words

    // Transactions may run on the port: the lines work, an adapter's driver sees to them, or there is no
    // port at all.
    bool usable() const
    {
        return health == LineHealth::Unchecked || health == LineHealth::Ok ||
               health == LineHealth::Recovered || health == LineHealth::ByAdapter;
    }
    // What was found, for the connection line ("lines OK", "SDA read-back does not follow: ...").
    QString finding() const;
    // What the user should look at when the check failed; "" when it did not.
    QString advice() const;
};

// Checks the lines before any transaction, in the manner of the kernel's bit-banging I2C driver: with SCL
// held low, SDA pulled low must show on DSR and released must not; with SCL released SDA must read high.
// SDA low while released is a device stuck in the middle of a byte: up to nine clock pulses with SDA
// released let it finish, a STOP ends its transfer, and the lines are checked once more. Leaves both lines
// released. A port that refuses the line requests themselves has no modem lines to carry the bus (found,
// not thrown); a port that vanishes is thrown as serial::PortError.
LineCheck checkLines(serial::SerialPort& port);

} // namespace bus
