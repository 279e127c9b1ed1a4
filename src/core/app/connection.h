// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/line_check.h"

#include <QObject>
#include <QString>

namespace bus {
class I2cMaster;
}
namespace model {
class ChannelModel;
}
namespace serial {
class PortCatalog;
class SerialLink;
} // namespace serial

namespace app {

// What lies between the program and the chip, as the connection line shows it: the port and its state,
// whether the bus lines passed their check, and whether a chip answers at the address in use. It is how a
// user tells a wiring fault from a chip. While the lines have failed their check the bus refuses every
// transaction, so a broken read-back can never turn into writes of all ones.
class Connection : public QObject {
    Q_OBJECT
public:
    enum class PortState { NoPortChosen, Unavailable, InUse, NoPermission, CannotOpen, Open, Gone };
    enum class Presence { Unknown, Answers, NoAnswer };

    // catalog is null for the simulated board.
    Connection(serial::SerialLink& link, const serial::PortCatalog* catalog, bus::I2cMaster& i2c,
               const model::ChannelModel& model);

    // After every attempt to open the selected port: its state, then the line check, then the chip's
    // presence. Never throws: a port that fails here is shown, not reported.
    void afterOpen();
    // One address byte at the A0 address in use, its acknowledge read. Nothing without an open port whose
    // lines passed. A line failure is thrown (serial::PortError) to the command that asked.
    void probeChip();
    // A port that closed itself since (a pulled adapter) shows as gone. Cheap: run after every command.
    void notice();

    PortState portState() const { return portState_; }
    const bus::LineCheck& lines() const { return lines_; }
    Presence presence() const { return presence_; }
    // The 7-bit address probed last.
    int probedAddress() const { return probedAddress_; }

    // The connection line, one text per part: the port, its lines, the chip ("" when there is nothing to
    // say).
    QString portText() const;
    QString linesText() const;
    QString chipText() const;
    // The port of the last open, "COM3 (/dev/ttyUSB0)".
    QString portLabel() const;
    // Why no command may talk to the chip, naming port, device and what to check ("" while they may).
    QString refusalText() const;

signals:
    void changed();

private:
    void setPresence(Presence presence, int address);

    serial::SerialLink& link_;
    const serial::PortCatalog* catalog_;
    bus::I2cMaster& i2c_;
    const model::ChannelModel& model_;

    PortState portState_ = PortState::NoPortChosen;
    int port_ = 0;
    QString problem_;
    QString group_;
    bus::LineCheck lines_;
    Presence presence_ = Presence::Unknown;
    int probedAddress_ = 0;
};

} // namespace app
