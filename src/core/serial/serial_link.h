// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "serial/serial_port.h"

#include <QStringList>

#include <array>
#include <functional>
#include <optional>

namespace serial {

// The serial line link: the selected port and rate, the start-up scan, opening with time-outs, and the
// trigger block on the transmit line. Names follow the routines the rest of the program calls.
class SerialLink {
public:
    explicit SerialLink(SerialPort& port);

    SerialPort& port() { return port_; }

    qint16 PortNumber = 0;
    qint32 BitRate = 0;
    std::array<bool, 17> PortAvailable{};
    QStringList PortList;
    qint16 PortCount = 0;
    std::array<quint8, 26> TxBuffer{};

    // Closes, configures and reopens the port; never throws. True when the port is open afterwards.
    // An already-open failure marks the port unavailable for the rest of the run.
    bool fncInitializeComPort(qint32& NewBitRate, qint16& NewPortNumber);
    // Lists the ones of COM1..COM16 that name a device, without opening any; never throws.
    void EnumerateComPorts();
    void MarkAvailablePorts();
    // Waits up to 1000 event-loop passes for the selected port to be available, then opens it with its
    // time-outs. Gives up silently; then, opened or not, runs the opened handler.
    void OpenSelectedPort();
    void SetPortTimeouts(qint32 bitRate);
    static float CharacterTimeMs(qint32 bitRate);
    // Writes the 4-byte block: TxBuffer[1..count], the rest 0. Throws PortError.
    void SendTxBytes(qint16 count);

    // Why the last attempt to open a port failed, with that port's number; kept for the connection line,
    // since fncInitializeComPort itself says only whether the port ended up open.
    struct OpenFailure {
        int port = 0;
        PortError error;
    };
    const std::optional<OpenFailure>& openFailure() const { return openFailure_; }
    // What runs after every OpenSelectedPort (the line check, the chip's presence).
    void setOpenedHandler(std::function<void()> handler) { opened_ = std::move(handler); }

private:
    template <typename F> void attempt(F&& step);

    SerialPort& port_;
    std::optional<PortError> lastFailure_;
    std::optional<OpenFailure> openFailure_;
    std::function<void()> opened_;
};

} // namespace serial
