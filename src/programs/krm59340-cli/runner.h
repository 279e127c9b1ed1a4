// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "command_line.h"
#include "write_log.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <utility>

namespace app {
class Bench;
}

namespace cli {

// A command that could not be done: its exit status (1 input, 2 port or bus, 3 no chip) and a message of one
// line that names what was written to the chip before, if anything; the channels it wrote, for JSON.
class Failure : public files::TextError {
public:
    Failure(int status, const QString& text, QList<int> written = {})
        : files::TextError(text), status_(status), written_(std::move(written))
    {
    }
    int status() const { return status_; }
    const QList<int>& written() const { return written_; }

private:
    int status_;
    QList<int> written_;
};

// A command stopped half-way because a stop was asked for; the text says where and what was written.
class Stopped : public files::TextError {
public:
    using files::TextError::TextError;
};

// What a running command has to say before it ends.
class Progress {
public:
    // A warning for stderr (a voltage clamped to the reference).
    virtual void warning(const QString& text) = 0;
    // A batch applied a file and sent its trigger block: time, cycle, file.
    virtual void applied(const QJsonObject& entry) = 0;

protected:
    ~Progress() = default;
};

// How a command ended: its result (what --json prints, and what the text is made from), and for a command
// that finished with something to say (probe without a chip, a batch stopped between files) its exit status
// and message.
struct Outcome {
    Outcome() = default;
    explicit Outcome(QJsonObject result) : result(std::move(result)) {}

    QJsonObject result;
    int status = 0;
    QString message;
    bool stopped = false; // a batch that a stop request ended between files; message says after which
};

// Runs one request on a bench: the settings and the command line's choices, the port opened with its line
// check and the chip's presence probe, then the command with only the traffic it needs. A session opens the
// port once (start) and runs command after command on it (next). Reads the settings, never writes them.
class Runner {
public:
    Runner(app::Bench& bench, const Request& request, const QString& lockDir, Progress& progress);

    // Throws UsageError (bad input, before anything is sent), Failure and Stopped.
    Outcome run();
    // The settings and the port of a session's request, checked and probed. Throws Failure.
    void start();
    // One command of the session on the port start() opened; the request must outlive the call. Throws as
    // run() does.
    Outcome next(const Request& command);
    // The port can carry no more commands: its adapter is gone.
    bool portGone() const;

private:
    template <typename Work> Outcome guarded(Work work);
    QJsonObject portsResult() const;
    void applySettings();
    void checkInput();
    void checkChannelFile(const QByteArray& path) const;
    void open();
    void requireChip() const;
    Outcome execute();

    // The 24 channel registers and the bank status into the model; returns the bank status.
    double readChip();
    Outcome probe();
    Outcome read();
    Outcome set();
    void verify();
    Outcome load();
    Outcome save();
    Outcome reset();
    Outcome otp();
    Outcome trigger();
    Outcome batch();

    // The JSON fields every command but ports starts with: command, port, device, a0, address, reference.
    QJsonObject header() const;
    // Whether the model's codes were read from the chip or written to it.
    enum class Codes { Read, Written };
    // The channels with the code in their register (code, hex, volts at the reference in use).
    QJsonArray channelRows(const QList<int>& channels, Codes codes);
    QList<int> targets() const;
    QString failureText(const QString& what, bool cutOff) const;
    // The trigger block; returns the moment it had left the port.
    QDateTime sendTrigger();

    app::Bench& bench_;
    const Request* request_;
    QString lockDir_;
    Progress& progress_;
    WriteLog log_;
    QString where_;              // " in FILE (cycle N)" while a batch applies a file
    bool noTriggerLine_ = false; // the bus port has no transmit line and no trigger port was given
    bool gone_ = false;          // a command found the adapter gone
};

} // namespace cli
