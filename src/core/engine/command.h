// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "engine/connection_state.h"
#include "files/text_error.h"
#include "serial/serial_port.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>
#include <variant>
#include <vector>

// The bus engine's work, as values: what the windows and the command line ask of the bus, and what comes
// back. Addresses, pointers and codes travel as the bit strings the channel model builds, so the bus sends
// exactly what it always sent.
namespace engine {

// Closes the port, sets the rate, opens port number `port` with its time-outs, checks its lines and probes
// for a chip at the A0 address. Without attempt (the wait for an available port gave up) the port is left
// as it is and only the connection says which port was asked for.
struct OpenPort {
    int port = 0;
    qint32 rate = 0;
    QString a0;
    bool attempt = true;
};
// The presence probe at the A0 address; with shown set, the connection's chip follows the answer.
struct Probe {
    QString a0;
    bool shown = true;
};
// A pointer write with "000" + reg5, then a word read.
struct ReadRegister {
    QString a0;
    QString reg5;
};
// The same for register 63, the OTP bank status.
struct ReadBankStatus {
    QString a0;
};
// The register word with command 100 (DAC write) or 010 (burn into OTP).
struct WriteRegister {
    QString low;
    QString high;
    QString address;
    QString pointer;
    bool otp = false;
};
// The general call 0x00, 0x06.
struct ResetChip {};
// A block on the port's transmit line (the batch trigger).
struct SendBlock {
    QByteArray block;
};

using Command =
    std::variant<OpenPort, Probe, ReadRegister, ReadBankStatus, WriteRegister, ResetChip, SendBlock>;

// Commands run one after the other; the first failure ends the batch there. An uninterruptible batch is
// finished even when a stop is asked for meanwhile (an OTP burn, its reset and the bank status read: a
// half-burnt bank is worse than a late stop).
struct Batch {
    std::vector<Command> commands;
    bool uninterruptible = false;
};

// What a command gave back.
struct Reply {
    double word = 0;           // a read
    bool acknowledged = false; // a probe; an open whose probe found a chip
    bool alreadyOpen = false;  // an open that found the port held elsewhere
    QDateTime sent;            // a block, once it had left the port
};

// Why a batch ended early, as a value: no exception crosses from the bus thread.
struct Failure {
    enum class Kind {
        Port,            // a request failed on the port (PortError)
        Unusable,        // the port failed its line check: nothing was sent
        NotAcknowledged, // an adapter that sees acknowledges found no chip at the address
        Interrupted,     // stopped between transactions: a close, a signal
        NoTransmitLine,  // a trigger block for a port that has no transmit line
    };
    Kind kind = Kind::Port;
    serial::PortFailure portFailure = serial::PortFailure::Io;
    QString operation;    // for Port: what was being done
    QString reason;       // for Port: why it failed; otherwise the whole text
    bool adapter = false; // for Port: a kernel I2C adapter failed, not a serial port

    // "serial port" or "I2C adapter", for a failure of the port.
    QString portKind() const;

    // The text a user sees.
    QString text() const;
    // Throws the failure as the exception the bus layer throws for it.
    [[noreturn]] void raise() const;
};

struct Outcome {
    std::vector<Reply> replies; // one per command done, in order
    std::optional<Failure> failure;
    ConnectionState connection; // as it stands after the batch
    // Why the bus trace is incomplete, once a write to it fell short.
    std::optional<QString> traceFailure;
};

// Thrown for a trigger block on a port without a transmit line (a kernel I2C adapter); nothing was sent.
class NoTransmitLine : public files::TextError {
public:
    using files::TextError::TextError;
};

// Where the channel model sends its transfers: the engine itself, which runs each at once (the command line),
// or the window's commands, which gather them and hand them to the bus thread as one batch.
class CommandSink {
public:
    virtual void send(Command command) = 0;

protected:
    ~CommandSink() = default;
};

} // namespace engine
