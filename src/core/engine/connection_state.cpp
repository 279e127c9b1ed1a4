// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "engine/connection_state.h"

namespace engine {

namespace {

QString hex(int address)
{
    return QStringLiteral("0x%1").arg(address, 2, 16, QLatin1Char('0'));
}

} // namespace

QString ConnectionState::portText() const
{
    switch (portState) {
    case PortState::NoPortChosen:
        return QStringLiteral("No port chosen: press COM Setting");
    case PortState::Unavailable:
        return QStringLiteral("COM%1 is not available: press COM Setting").arg(port);
    case PortState::InUse:
        return QStringLiteral("%1 is %2").arg(label, problem);
    case PortState::NoPermission:
        return QStringLiteral("%1: no permission to open it; join the group %2 (sudo usermod -aG %2 $USER), "
                              "then log in again")
            .arg(label, group.isEmpty() ? QStringLiteral("dialout") : group);
    case PortState::CannotOpen:
        return QStringLiteral("%1 cannot be opened: %2").arg(label, problem);
    case PortState::Open:
        return QStringLiteral("%1 open%2")
            .arg(label, description.isEmpty() ? QString() : QStringLiteral(", ") + description);
    case PortState::Gone:
        return QStringLiteral("%1: the adapter is gone; plug it in and pick the port again in COM Setting")
            .arg(label);
    }
    return {};
}

QString ConnectionState::linesText() const
{
    if (lines.health == bus::LineHealth::Unchecked)
        return {};
    const QString advice = lines.advice();
    return advice.isEmpty() ? lines.finding() : QStringLiteral("%1. %2.").arg(lines.finding(), advice);
}

QString ConnectionState::chipText() const
{
    switch (presence) {
    case Presence::Unknown:
        return {};
    case Presence::Answers:
        return QStringLiteral("chip answers at %1").arg(hex(probedAddress));
    case Presence::NoAnswer:
        return QStringLiteral("no chip answers at %1 (A0 = %2): check power, cable and A0")
            .arg(hex(probedAddress), probedA0);
    }
    return {};
}

QString ConnectionState::refusalText() const
{
    if (portState == PortState::Gone)
        return QStringLiteral("Nothing was sent to the chip: %1 is gone (the adapter was unplugged or "
                              "failed).\n\nPlug it in again, then pick the port again in COM Setting.")
            .arg(label);
    if (lines.usable())
        return {};
    if (lines.health == bus::LineHealth::NoModemLines)
        return QStringLiteral("Nothing was sent to the chip: %1 cannot set its modem lines: %2.\n\n%3.")
            .arg(label, lines.refusal, lines.advice());
    return QStringLiteral("Nothing was sent to the chip: %1 failed its line check: %2.\n\n%3, then pick the "
                          "port again in COM Setting.")
        .arg(label, lines.finding(), lines.advice());
}

bool ConnectionState::operator==(const ConnectionState& other) const
{
    return portState == other.portState && port == other.port && label == other.label &&
           description == other.description && problem == other.problem && group == other.group &&
           lines.health == other.lines.health && lines.recoveryPulses == other.lines.recoveryPulses &&
           lines.refusal == other.lines.refusal && presence == other.presence &&
           probedAddress == other.probedAddress && probedA0 == other.probedA0;
}

} // namespace engine
