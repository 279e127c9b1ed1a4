// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "serial/bus_trace.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace i2cdev {

// One I2C message as the adapter carried it, from its START to its STOP.
struct Message {
    quint8 address = 0; // 7-bit
    bool read = false;
    QByteArray bytes; // written, or read back
};

// Draws a kernel I2C adapter's transactions into the bus trace. The kernel shows us messages, not line
// changes, so the waveform is drawn from each message as the adapter reported it, at an ideal 100 kHz. A
// message that failed otherwise than at its address is left out: the adapter does not say where on the
// wires it failed, and a guessed waveform would mislead. Written through at every message.
class TransactionTrace {
public:
    explicit TransactionTrace(serial::BusTrace& trace) : trace_(trace) {}
    TransactionTrace(const TransactionTrace&) = delete;
    TransactionTrace& operator=(const TransactionTrace&) = delete;

    // A message as the adapter carried it; addressAcknowledged false: nothing answered its address
    // (ENXIO), and the message ended there.
    void record(const Message& message, bool addressAcknowledged = true);
    // Why the trace is incomplete, naming the file; nullopt while every write went through.
    const std::optional<QString>& failure() const { return trace_.failure(); }

private:
    void at(quint64 time, bool scl, bool sda);
    void start();
    void bit(bool level);
    void stop();

    serial::BusTrace& trace_;
    // The time drawn up to, and the time of the last SCL fall inside a transaction.
    quint64 time_ = 0;
    quint64 clockFell_ = 0;
    bool scl_ = true;
    bool sda_ = true;
};

} // namespace i2cdev
