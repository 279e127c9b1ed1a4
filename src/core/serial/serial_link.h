// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QByteArray>
#include <QStringList>

#include <array>
#include <functional>

namespace serial {

// The serial line link as the windows and the command line hold it: the selected port and rate, the ports
// the start-up scan found and which of them may be opened, and the transmit buffer of the trigger block.
// The port itself belongs to the bus engine (PortControl), which opens what is selected here.
class SerialLink {
public:
    // exists(n): whether port number n names a device, found without opening anything.
    explicit SerialLink(std::function<bool(int)> exists);

    qint16 PortNumber = 0;
    qint32 BitRate = 0;
    std::array<bool, 17> PortAvailable{};
    QStringList PortList;
    qint16 PortCount = 0;
    std::array<quint8, 26> TxBuffer{};

    // Lists the ones of COM1..COM16 that name a device, without opening any; never throws.
    void EnumerateComPorts();
    void MarkAvailablePorts();
    // The selected port may be opened: it was found and has not turned out to be held elsewhere. Port
    // numbers outside the table (a hand-edited settings file) are simply not available.
    bool available() const;
    // An open that found the port held by another program: unavailable for the rest of the run.
    void noteAlreadyOpen(int port);
    static float CharacterTimeMs(qint32 bitRate);
    // The 4-byte block SendTxBytes writes: TxBuffer[1..count], the rest 0.
    QByteArray TxBlock(qint16 count) const;

private:
    std::function<bool(int)> exists_;
};

} // namespace serial
