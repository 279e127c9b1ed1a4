// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/line_check.h"

#include <QString>

namespace engine {

// What lies between the program and the chip, as the connection line shows it: the port and its state,
// whether the bus lines passed their check, and whether a chip answers at the address in use. It is how a
// user tells a wiring fault from a chip. The engine keeps it as it opens ports and probes, and hands a copy
// back with every piece of work.
struct ConnectionState {
    enum class PortState { NoPortChosen, Unavailable, InUse, NoPermission, CannotOpen, Open, Gone };
    enum class Presence { Unknown, Answers, NoAnswer };

    PortState portState = PortState::NoPortChosen;
    int port = 0;
    // The port of the last open, "COM3 (/dev/ttyUSB0)", and what the system calls its adapter.
    QString label;
    QString description;
    QString problem; // why it could not be opened, in the system's words
    QString group;   // the group to join for the right to open it
    bus::LineCheck lines;
    Presence presence = Presence::Unknown;
    int probedAddress = 0; // the 7-bit address probed last
    QString probedA0;

    // The connection line, one text per part: the port, its lines, the chip ("" when there is nothing to
    // say).
    QString portText() const;
    QString linesText() const;
    QString chipText() const;
    // Why no command may talk to the chip, naming port, device and what to check ("" while they may).
    QString refusalText() const;
    // Whether what a read gives now is a chip's: the port open, its lines fine and a chip answering.
    bool chipAnswers() const
    {
        return portState == PortState::Open && lines.usable() && presence == Presence::Answers;
    }

    bool operator==(const ConnectionState& other) const;
};

} // namespace engine
