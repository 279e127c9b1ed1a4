// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>
#include <optional>

namespace i2cdev {

// One I2C message as the adapter carried it, from its START to its STOP.
struct Message {
    quint8 address = 0; // 7-bit
    bool read = false;
    QByteArray bytes; // written, or read back
};

// The bus trace of a kernel I2C adapter: the same value change dump, with the same wires scl and sda, as
// serial::TracingPort writes for the line-level bus, so one viewer and one decoder read both. The kernel
// shows us messages, not line changes, so the waveform is drawn from each message as the adapter reported
// it, at an ideal 100 kHz; the header says so. A message that failed otherwise than at its address is left
// out: the adapter does not say where on the wires it failed, and a guessed waveform would mislead (a
// comment cannot stand in for it: sigrok's VCD reader stops at a comment after the header). Written through
// at every message: a run killed meanwhile keeps every finished transaction. A write the system cuts short
// ends the trace there and is kept as its failure.
class TransactionTrace {
public:
    // vcdPath is raw bytes (a name need not be UTF-8). Throws serial::PortError(CannotUse) when the file
    // cannot be created or is no regular file.
    explicit TransactionTrace(const QByteArray& vcdPath);
    TransactionTrace(const TransactionTrace&) = delete;
    TransactionTrace& operator=(const TransactionTrace&) = delete;

    // A message as the adapter carried it; addressAcknowledged false: nothing answered its address
    // (ENXIO), and the message ended there.
    void record(const Message& message, bool addressAcknowledged = true);
    // Why the trace is incomplete, naming the file; nullopt while every write went through.
    const std::optional<QString>& failure() const { return failure_; }

private:
    void at(quint64 time, bool scl, bool sda);
    void start();
    void bit(bool level);
    void stop();
    void writeOut();

    QString shownPath_;
    std::unique_ptr<QFile> file_;
    std::optional<QString> failure_;
    QByteArray buffer_;
    // The last time written, and the time of the last SCL fall inside a transaction.
    quint64 time_ = 0;
    quint64 clockFell_ = 0;
    bool scl_ = true;
    bool sda_ = true;
};

} // namespace i2cdev
