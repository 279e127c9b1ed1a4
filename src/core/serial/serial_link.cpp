// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "serial/serial_link.h"

#include "serial/port_catalog.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>

namespace serial {

namespace {

constexpr int WaitPasses = 1000;

QString comName(int n)
{
    return QStringLiteral("COM") + QString::number(n);
}

} // namespace

SerialLink::SerialLink(SerialPort& port) : port_(port) {}

template <typename F> void SerialLink::attempt(F&& step)
{
    try {
        step();
    } catch (const PortError& e) {
        lastFailure_ = e;
    }
}

bool SerialLink::fncInitializeComPort(qint32& NewBitRate, qint16& NewPortNumber)
{
    lastFailure_.reset();
    if (port_.isOpen())
        attempt([&] { port_.close(); });
    attempt([&] { port_.setLineSettings(NewBitRate); });
    openFailure_.reset();
    if (!port_.isOpen()) {
        attempt([&] { port_.open(NewPortNumber); });
        if (lastFailure_ && !port_.isOpen())
            openFailure_ = OpenFailure{NewPortNumber, *lastFailure_};
    }
    if (lastFailure_ && lastFailure_->kind() == PortFailure::AlreadyOpen) {
        if (NewPortNumber >= kFirstPort && NewPortNumber <= kLastPort)
            PortAvailable[NewPortNumber] = false;
        lastFailure_.reset();
    }
    return port_.isOpen();
}

// A port another program holds counts as found, as it always did: whether it can be used is learnt when it
// is opened. The port in use is left open.
void SerialLink::EnumerateComPorts()
{
    PortList.clear();
    PortCount = 0;
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        if (port_.exists(n)) {
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

void SerialLink::OpenSelectedPort()
{
    // Port numbers outside the table (a hand-edited settings file) are simply not available.
    const auto available = [this] {
        return PortNumber >= 0 && PortNumber <= kLastPort && PortAvailable[PortNumber];
    };
    // The port dialog may change PortNumber from inside processEvents(), hence the fresh look every pass.
    const auto opened = [this] {
        if (opened_)
            opened_();
    };
    for (int passes = 0; !available();) {
        QCoreApplication::processEvents();
        if (++passes >= WaitPasses) {
            opened();
            return;
        }
    }
    fncInitializeComPort(BitRate, PortNumber);
    SetPortTimeouts(BitRate);
    opened();
}

void SerialLink::SetPortTimeouts(qint32 bitRate)
{
    // A rate of 0 or less comes only from a damaged settings file; the port keeps its default time-outs.
    if (bitRate <= 0 || !port_.isOpen())
        return;
    const auto t = static_cast<quint32>(CharacterTimeMs(bitRate));
    try {
        port_.setTimeouts({t, t, 1000, t, 1000});
    } catch (const PortError&) {
        // Without our time-outs a write still ends: the port's own default applies.
    }
}

float SerialLink::CharacterTimeMs(qint32 bitRate)
{
    if (bitRate <= 0)
        return 0;
    // nearbyint rounds half to even in the default rounding mode; 10000 / rate never exceeds 16 bits.
    return static_cast<float>(static_cast<qint16>(std::nearbyint(10000.0 / bitRate)));
}

void SerialLink::SendTxBytes(qint16 count)
{
    QByteArray block(4, '\0');
    const int n = std::clamp<int>(count, 0, 4);
    for (int i = 1; i <= n; ++i)
        block[i - 1] = static_cast<char>(TxBuffer[i]);
    port_.write(block);
}

} // namespace serial
