// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "serial/port_catalog.h"
#include "serial/port_holders.h"
#include "serial/serial_port.h"

namespace serial {

// The port on a POSIX serial device: termios for the line, ioctl(TIOCMBIS/TIOCMBIC/TIOCMGET) for the modem
// lines, exactly one system call per line request. The device is held exclusively while open (UUCP lock,
// flock and TIOCEXCL), and a device another program holds in any of these ways, or simply has open, is
// refused as already open, naming the holder. A device that vanishes (EIO, ENXIO, ENODEV: a USB adapter
// pulled) is closed after its first failure, so the user hears of it once, not per request.
class PosixSerialPort : public SerialPort {
public:
    // lockDir: where the UUCP lock files live (tests use a scratch directory).
    explicit PosixSerialPort(PortCatalog& catalog, const QString& lockDir = UucpLock::defaultDir());
    ~PosixSerialPort() override;
    PosixSerialPort(const PosixSerialPort&) = delete;
    PosixSerialPort& operator=(const PosixSerialPort&) = delete;

    void open(int portNumber) override;
    void close() override;
    bool isOpen() const override { return fd_ >= 0; }
    int portNumber() const override { return portNumber_; }
    bool exists(int portNumber) const override { return !catalog_.devicePath(portNumber).isEmpty(); }
    void setLineSettings(qint32 bitRate) override;
    QString lineSettings() const override;
    void setTimeouts(const Timeouts& timeouts) override;
    void setRts(bool asserted) override;
    void setDtr(bool asserted) override;
    bool dsr() override;
    void write(const QByteArray& bytes) override;

private:
    void applyLineSettings(qint32 bitRate);
    [[noreturn]] void lineFailed(const QString& operation, int err);

    PortCatalog& catalog_;
    UucpLock lock_;
    int fd_ = -1;
    int portNumber_ = 0;
    qint32 bitRate_ = 9600;
    qint32 appliedRate_ = 9600; // the rate last in force on the device
    Timeouts timeouts_;
};

} // namespace serial
