// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QJsonObject>

namespace bus {
class Interrupter;
}

namespace cli {

class Runner;
struct Request;

// Where a session's answers go: one for every command, as soon as it is done.
class Answers {
public:
    // ok: the command did what it was asked; answer: its result, or error and status.
    virtual void answer(bool ok, const QJsonObject& answer) = 0;

protected:
    ~Answers() = default;
};

// Runs the commands read from input, one a line, on the port the runner's start() opened, until the input
// ends, a quit, a stop request (between two transactions: the caller ends by its signal) or a port whose
// adapter is gone. Returns the exit status: 0, or 2 for a port gone or an input that cannot be read.
int runSession(Runner& runner, const Request& session, int input, Answers& answers,
               const bus::Interrupter& interrupter);

} // namespace cli
