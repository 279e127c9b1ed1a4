// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>
#include <optional>

namespace serial {

// The bus trace file: a value change dump of the two bus wires scl and sda (timescale 1 us), which a logic
// analyser's I2C decoder reads as it would read the wires. A line-level port steps it once per line
// request; a kernel I2C adapter's transactions are drawn into it from the messages it reports (its header
// says which is which). Written through whenever the bus asks (at every transaction boundary), so a run
// killed meanwhile keeps every finished transaction. A write the system cuts short (a full disk) ends the
// trace there and is kept as its failure, for the program to report.
class BusTrace {
public:
    // vcdPath is raw bytes (a name need not be UTF-8). Throws PortError(CannotUse) when the file cannot be
    // created or is no regular file: a FIFO would block the program, a device would swallow the trace.
    explicit BusTrace(const QByteArray& vcdPath);
    ~BusTrace();
    BusTrace(const BusTrace&) = delete;
    BusTrace& operator=(const BusTrace&) = delete;

    // The wires' levels after `micros` more of trace time; the time step is written even when no level
    // changes, so that one line request is one step.
    void step(bool scl, bool sda, quint64 micros = 1);
    // The same without a step when nothing changes (a waveform drawn at its own timing).
    void change(bool scl, bool sda, quint64 micros);
    // Marks the time as passed without a change (a STOP shows to a decoder only once time goes on).
    void advance(quint64 micros);
    // Writes what is buffered to the file.
    void writeOut();
    // Why the trace is incomplete, naming the file; nullopt while every write went through.
    const std::optional<QString>& failure() const { return failure_; }

private:
    void levels(bool scl, bool sda);

    QString shownPath_;
    std::unique_ptr<QFile> file_;
    std::optional<QString> failure_;
    QByteArray buffer_;
    quint64 time_ = 0;
    // Nothing drives the lines before the first request, so both start released (high).
    bool scl_ = true;
    bool sda_ = true;
};

} // namespace serial
