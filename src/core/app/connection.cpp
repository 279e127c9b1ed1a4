// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app/connection.h"

#include "bus/device.h"
#include "bus/i2c_master.h"
#include "model/channel_model.h"
#include "serial/port_catalog.h"
#include "serial/serial_link.h"

namespace app {

namespace {

// The 7-bit address an address byte's text selects, read as the bus reads it (only an exact '1' is a 1).
int address7(const QString& addressByte)
{
    int address = 0;
    for (int k = 0; k < 7; ++k)
        address = address << 1 | (k < addressByte.size() && addressByte.at(k) == QLatin1Char('1') ? 1 : 0);
    return address;
}

QString hex(int address)
{
    return QStringLiteral("0x%1").arg(address, 2, 16, QLatin1Char('0'));
}

} // namespace

Connection::Connection(serial::SerialLink& link, const serial::PortCatalog* catalog, bus::I2cMaster& i2c,
                       const model::ChannelModel& model)
    : link_(link), catalog_(catalog), i2c_(i2c), model_(model)
{
}

void Connection::afterOpen()
{
    port_ = link_.PortNumber;
    problem_.clear();
    group_.clear();
    lines_ = {};
    presence_ = Presence::Unknown;
    serial::SerialPort& port = link_.port();
    const auto& failure = link_.openFailure();
    if (port_ < 1) {
        portState_ = PortState::NoPortChosen;
    } else if (port.isOpen()) {
        portState_ = PortState::Open;
    } else if (failure && failure->port == port_) {
        problem_ = failure->error.reason();
        switch (failure->error.kind()) {
        case serial::PortFailure::AlreadyOpen:
            portState_ = PortState::InUse;
            break;
        case serial::PortFailure::PermissionDenied:
            portState_ = PortState::NoPermission;
            if (catalog_)
                for (const serial::DeviceProblem& p : catalog_->permissionProblems())
                    if (p.port == port_)
                        group_ = p.group;
            break;
        case serial::PortFailure::Gone:
            portState_ = PortState::Gone;
            break;
        default:
            portState_ = PortState::CannotOpen;
            break;
        }
    } else {
        portState_ = PortState::Unavailable;
    }

    try {
        lines_ = i2c_.checkLines();
        i2c_.setUnusable(lines_.usable() ? std::nullopt : std::optional<QString>(refusalText()));
        probeChip();
    } catch (const serial::PortError&) {
        notice();
    }
    emit changed();
}

void Connection::probeChip()
{
    if (!link_.port().isOpen() || !i2c_.usable()) {
        if (presence_ != Presence::Unknown)
            setPresence(Presence::Unknown, probedAddress_);
        return;
    }
    const QString address = bus::writeAddress(model_.a0_state);
    const bool answered = i2c_.probe(address);
    setPresence(answered ? Presence::Answers : Presence::NoAnswer, address7(address));
}

void Connection::setPresence(Presence presence, int address)
{
    if (presence == presence_ && address == probedAddress_)
        return;
    presence_ = presence;
    probedAddress_ = address;
    emit changed();
}

void Connection::notice()
{
    if (portState_ == PortState::Open && !link_.port().isOpen()) {
        portState_ = PortState::Gone;
        presence_ = Presence::Unknown;
        emit changed();
    }
}

QString Connection::portLabel() const
{
    const QString name = QStringLiteral("COM%1").arg(port_);
    if (!catalog_)
        return port_ == 1 ? name + QStringLiteral(" (simulated board)") : name;
    const QString path = catalog_->devicePath(port_);
    return path.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(name, path);
}

QString Connection::portText() const
{
    switch (portState_) {
    case PortState::NoPortChosen:
        return QStringLiteral("No port chosen: press COM Setting");
    case PortState::Unavailable:
        return QStringLiteral("COM%1 is not available: press COM Setting").arg(port_);
    case PortState::InUse:
        return QStringLiteral("%1 is %2").arg(portLabel(), problem_);
    case PortState::NoPermission:
        return QStringLiteral("%1: no permission to open it; join the group %2 (sudo usermod -aG %2 $USER), "
                              "then log in again")
            .arg(portLabel(), group_.isEmpty() ? QStringLiteral("dialout") : group_);
    case PortState::CannotOpen:
        return QStringLiteral("%1 cannot be opened: %2").arg(portLabel(), problem_);
    case PortState::Open: {
        const QString description = catalog_ ? catalog_->description(port_) : QString();
        return QStringLiteral("%1 open%2")
            .arg(portLabel(), description.isEmpty() ? QString() : QStringLiteral(", ") + description);
    }
    case PortState::Gone:
        return QStringLiteral("%1: the adapter is gone; plug it in and pick the port again in COM Setting")
            .arg(portLabel());
    }
    return {};
}

QString Connection::linesText() const
{
    if (lines_.health == bus::LineHealth::Unchecked)
        return {};
    const QString advice = lines_.advice();
    return advice.isEmpty() ? lines_.finding() : QStringLiteral("%1. %2.").arg(lines_.finding(), advice);
}

QString Connection::chipText() const
{
    switch (presence_) {
    case Presence::Unknown:
        return {};
    case Presence::Answers:
        return QStringLiteral("chip answers at %1").arg(hex(probedAddress_));
    case Presence::NoAnswer:
        return QStringLiteral("no chip answers at %1 (A0 = %2): check power, cable and A0")
            .arg(hex(probedAddress_), model_.a0_state);
    }
    return {};
}

QString Connection::refusalText() const
{
    if (lines_.usable())
        return {};
    return QStringLiteral("Nothing was sent to the chip: %1 failed its line check: %2.\n\n%3, then pick the "
                          "port again in COM Setting.")
        .arg(portLabel(), lines_.finding(), lines_.advice());
}

} // namespace app
