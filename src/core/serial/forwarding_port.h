// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "serial/serial_port.h"

namespace serial {

// A port that passes every request on to another one: the base of the ports that stand in front of the
// real one to watch what goes through (the bus trace, the window's heartbeat) and override only that.
class ForwardingPort : public SerialPort {
public:
    explicit ForwardingPort(SerialPort& inner) : inner_(inner) {}

    void open(int portNumber) override { inner_.open(portNumber); }
    void close() override { inner_.close(); }
    bool isOpen() const override { return inner_.isOpen(); }
    int portNumber() const override { return inner_.portNumber(); }
    bool exists(int portNumber) const override { return inner_.exists(portNumber); }
    void setLineSettings(qint32 bitRate) override { inner_.setLineSettings(bitRate); }
    QString lineSettings() const override { return inner_.lineSettings(); }
    void setTimeouts(const Timeouts& timeouts) override { inner_.setTimeouts(timeouts); }
    void setRts(bool asserted) override { inner_.setRts(asserted); }
    void setDtr(bool asserted) override { inner_.setDtr(asserted); }
    bool dsr() override { return inner_.dsr(); }
    void dsrInto(bool& out) override { inner_.dsrInto(out); }
    void flush() override { inner_.flush(); }
    void write(const QByteArray& bytes) override { inner_.write(bytes); }

protected:
    SerialPort& inner() { return inner_; }

private:
    SerialPort& inner_;
};

} // namespace serial
