// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "serial/serial_link.h"

#include "serial/port_catalog.h"

#include <algorithm>
#include <cmath>

namespace serial {

namespace {

QString comName(int n)
{
    return QStringLiteral("COM") + QString::number(n);
}

} // namespace

SerialLink::SerialLink(std::function<bool(int)> exists) : exists_(std::move(exists)) {}

// A port another program holds counts as found, as it always did: whether it can be used is learnt when it
// is opened.
void SerialLink::EnumerateComPorts()
{
    PortList.clear();
    PortCount = 0;
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        if (exists_ && exists_(n)) {
            PortList.append(comName(n));
            ++PortCount;
        }
    }
    MarkAvailablePorts();
}

void SerialLink::MarkAvailablePorts()
{
    for (const QString& name : std::as_const(PortList)) {
        for (int k = kFirstPort; k <= kLastPort; ++k) {
            if (name == comName(k))
                PortAvailable[k] = true;
        }
    }
}

bool SerialLink::available() const
{
    return PortNumber >= 0 && PortNumber <= kLastPort && PortAvailable[PortNumber];
}

void SerialLink::noteAlreadyOpen(int port)
{
    if (port >= kFirstPort && port <= kLastPort)
        PortAvailable[port] = false;
}

float SerialLink::CharacterTimeMs(qint32 bitRate)
{
    if (bitRate <= 0)
        return 0;
    // nearbyint rounds half to even in the default rounding mode; 10000 / rate never exceeds 16 bits.
    return static_cast<float>(static_cast<qint16>(std::nearbyint(10000.0 / bitRate)));
}

QByteArray SerialLink::TxBlock(qint16 count) const
{
    QByteArray block(4, '\0');
    const int n = std::clamp<int>(count, 0, 4);
    for (int i = 1; i <= n; ++i)
        block[i - 1] = static_cast<char>(TxBuffer[i]);
    return block;
}

} // namespace serial
