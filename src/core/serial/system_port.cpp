// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "serial/system_port.h"

namespace serial {

bool isFtdiUrl(const QString& path)
{
    return path.startsWith(QLatin1String("ftdi://"));
}

SystemPort::SystemPort(PortCatalog& catalog, const QString& lockDir)
    : catalog_(catalog), tty_(catalog, lockDir), ftdi_(catalog)
{
}

void SystemPort::open(int portNumber)
{
    close();
    SerialPort* wanted =
        isFtdiUrl(catalog_.devicePath(portNumber)) ? static_cast<SerialPort*>(&ftdi_) : &tty_;
    active_ = wanted;
    active_->open(portNumber);
}

void SystemPort::close()
{
    tty_.close();
    ftdi_.close();
}

void SystemPort::setLineSettings(qint32 bitRate)
{
    // Both keep the rate for their next open; only the open one may refuse it now.
    if (active_->isOpen()) {
        active_->setLineSettings(bitRate);
        return;
    }
    for (SerialPort* port : {static_cast<SerialPort*>(&tty_), static_cast<SerialPort*>(&ftdi_)}) {
        try {
            port->setLineSettings(bitRate);
        } catch (const PortError&) {
            if (port == active_)
                throw;
        }
    }
}

void SystemPort::setTimeouts(const Timeouts& timeouts)
{
    active_->setTimeouts(timeouts);
}

QString SystemPort::description() const
{
    return active_ == &ftdi_ && ftdi_.isOpen() ? ftdi_.description() : QString();
}

} // namespace serial
