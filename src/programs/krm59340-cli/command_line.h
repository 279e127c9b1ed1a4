// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "files/text_error.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <chrono>
#include <optional>

namespace cli {

enum class Command { Ports, Probe, Read, Set, Load, Save, Reset, Otp, Trigger, Batch, Session, Wait, Quit };

// Bad usage or input, found before anything reaches the chip: exit status 1. The text names the argument.
class UsageError : public files::TextError {
public:
    using files::TextError::TextError;
};

// Everything the command line asks for, checked for form; what is left unset comes from the settings.
struct Request {
    // The port: COM1..COM16 (comPort), or a device path (device); neither: the settings' choice.
    int comPort = 0;
    QString device;
    QString triggerPort; // where the trigger block goes: "" for the bus port's transmit line
    std::optional<qint32> rate;
    std::optional<QString> a0; // "0" or "1"
    std::optional<double> vref;
    bool simulate = false;
    std::chrono::nanoseconds lineLatency{0};
    QByteArray busTrace;  // as given: a file name need not be UTF-8
    QByteArray statePath; // --simulate: where the simulated chips' memory lives between runs
    bool json = false;

    Command command = Command::Read;
    QString commandName;
    int channel = 0;     // set, otp: 1..24, or 0 for all of them
    QList<int> channels; // read: these registers alone, in the order given; none: the whole chip
    bool verify = false; // set: the written channels read back
    std::optional<double> volts;
    std::optional<int> code;
    QList<QByteArray> files; // load, save: one; batch: in the order given; as given, like busTrace
    double delay = 0;        // batch: seconds after each file's trigger block; wait: seconds
    int cycles = 1;          // batch: 0 runs until stopped
};

// A request to run, or (print not empty) a text to print before ending with status 0: help or version.
struct Invocation {
    Request request;
    QString print;
};

// arguments as QCoreApplication::arguments() gives them, the program's name first. Throws UsageError.
Invocation parseCommandLine(const QStringList& arguments, const QList<QByteArray>& raw = {});

// One line of a session: a command with the words of the one-shot commands, or wait or quit, run with the
// session's options. nullopt for a line with nothing to do (blank, or a # comment). Throws UsageError.
std::optional<Request> parseSessionLine(const Request& session, const QString& line);

} // namespace cli
