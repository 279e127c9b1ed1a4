// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "serial/serial_port.h"

#include <QFile>

namespace serial {

// Records every line request of the run as a value change dump with the wires scl and sda, one request per
// time step (timescale 1 us), and forwards it to the port it wraps. sda is the bus level: the program's own
// drive, combined with what each DSR read showed. Buffered; the file is complete once the port is destroyed.
class TracingPort : public SerialPort {
public:
    // Throws PortError(CannotUse) when the file cannot be created.
    TracingPort(SerialPort& inner, const QString& vcdPath);
    ~TracingPort() override;
    TracingPort(const TracingPort&) = delete;
    TracingPort& operator=(const TracingPort&) = delete;

    void open(int portNumber) override { inner_.open(portNumber); }
    void close() override { inner_.close(); }
    bool isOpen() const override { return inner_.isOpen(); }
    int portNumber() const override { return inner_.portNumber(); }
    void setLineSettings(qint32 bitRate) override { inner_.setLineSettings(bitRate); }
    QString lineSettings() const override { return inner_.lineSettings(); }
    void setTimeouts(const Timeouts& timeouts) override { inner_.setTimeouts(timeouts); }
    void setRts(bool asserted) override;
    void setDtr(bool asserted) override;
    bool dsr() override;
    void write(const QByteArray& bytes) override { inner_.write(bytes); }

    // Writes what is buffered so far.
    void flush();

private:
    void step(bool scl, bool sda);

    SerialPort& inner_;
    QFile file_;
    QByteArray buffer_;
    quint64 time_ = 0;
    bool rtsAsserted_ = false; // SDA pulled low by us
    bool dtrAsserted_ = false; // SCL pulled low by us
    // Nothing drives the lines before the first request, so both start released (high).
    int lastScl_ = 1;
    int lastSda_ = 1;
};

} // namespace serial
