// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "serial/ftdi_sync_port.h"
#include "serial/port_catalog.h"
#include "serial/port_holders.h"
#include "serial/posix_serial_port.h"

namespace serial {

// The port object of this machine's bench: each COM number is opened by the kind of port its device
// calls for, a tty through its modem lines (PosixSerialPort) or an FTDI adapter in synchronous bit-bang
// (FtdiSyncPort, "ftdi://..."). Requests go to the one open.
class SystemPort : public SerialPort {
public:
    explicit SystemPort(PortCatalog& catalog, const QString& lockDir = UucpLock::defaultDir());

    void open(int portNumber) override;
    void close() override;
    bool isOpen() const override { return active_->isOpen(); }
    int portNumber() const override { return active_->portNumber(); }
    bool exists(int portNumber) const override { return !catalog_.devicePath(portNumber).isEmpty(); }
    void setLineSettings(qint32 bitRate) override;
    QString lineSettings() const override { return active_->lineSettings(); }
    void setTimeouts(const Timeouts& timeouts) override;
    void setRts(bool asserted) override { active_->setRts(asserted); }
    void setDtr(bool asserted) override { active_->setDtr(asserted); }
    bool dsr() override { return active_->dsr(); }
    void dsrInto(bool& out) override { active_->dsrInto(out); }
    void flush() override { active_->flush(); }
    void write(const QByteArray& bytes) override { active_->write(bytes); }

    // What the connection line says of the open port beyond its device ("FT232R A1B2C3, synchronous
    // bit-bang"); "" for a tty, whose adapter the catalog describes.
    QString description() const;

private:
    PortCatalog& catalog_;
    PosixSerialPort tty_;
    FtdiSyncPort ftdi_;
    SerialPort* active_ = &tty_;
};

// Whether a device path names an FTDI adapter in synchronous bit-bang ("ftdi://", "ftdi://SERIAL").
bool isFtdiUrl(const QString& path);

} // namespace serial
