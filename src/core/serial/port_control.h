// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "serial/serial_port.h"

#include <optional>

namespace serial {

// What the bus engine does with the port object itself: closing, configuring and reopening it with its
// time-outs, and the block write on the transmit line.
class PortControl {
public:
    explicit PortControl(SerialPort& port) : port_(port) {}

    SerialPort& port() { return port_; }

    struct Opened {
        bool open = false;        // the port is open afterwards
        bool alreadyOpen = false; // it was held by another program
    };
    // Closes, configures and reopens the port; never throws. Every step is tried even when one before it
    // failed.
    Opened fncInitializeComPort(qint32 NewBitRate, qint16 NewPortNumber);
    void SetPortTimeouts(qint32 bitRate);
    // Writes the block to the transmit line. Throws PortError.
    void SendBlock(const QByteArray& block) { port_.write(block); }

    // Why the last attempt to open a port failed, with that port's number; kept for the connection line,
    // since fncInitializeComPort itself says only whether the port ended up open.
    struct OpenFailure {
        int port = 0;
        PortError error;
    };
    const std::optional<OpenFailure>& openFailure() const { return openFailure_; }

private:
    template <typename F> void attempt(F&& step);

    SerialPort& port_;
    std::optional<PortError> lastFailure_;
    std::optional<OpenFailure> openFailure_;
};

} // namespace serial
