// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "serial/port_control.h"

#include "serial/serial_link.h"

namespace serial {

template <typename F> void PortControl::attempt(F&& step)
{
    try {
        step();
    } catch (const PortError& e) {
        lastFailure_ = e;
    }
}

PortControl::Opened PortControl::fncInitializeComPort(qint32 NewBitRate, qint16 NewPortNumber)
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
    Opened opened;
    if (lastFailure_ && lastFailure_->kind() == PortFailure::AlreadyOpen) {
        opened.alreadyOpen = true;
        lastFailure_.reset();
    }
    opened.open = port_.isOpen();
    return opened;
}

void PortControl::SetPortTimeouts(qint32 bitRate)
{
    // A rate of 0 or less comes only from a damaged settings file; the port keeps its default time-outs.
    if (bitRate <= 0 || !port_.isOpen())
        return;
    const auto t = static_cast<quint32>(SerialLink::CharacterTimeMs(bitRate));
    try {
        port_.setTimeouts({t, t, 1000, t, 1000});
    } catch (const PortError&) {
        // Without our time-outs a write still ends: the port's own default applies.
    }
}

} // namespace serial
