// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QJsonArray>
#include <QString>

namespace serial {
class PortCatalog;
}

namespace cli {

// The COM names and what stands behind each, found without opening or locking anything: the device, the
// kind ("serial", "ftdi" for an FTDI adapter in synchronous bit-bang, "i2c" for a kernel I2C adapter,
// "simulated"), the adapter's name, and its state ("free", "in use" with the holder, "no permission" with
// the group to join, "missing" for a mapping to a device that is not there); after them the FTDI and kernel
// I2C adapters no COM name maps to (name null), which --port or the [Ports] section can name. catalog is
// null for the simulated board. selected is the port the other commands would use. FTDI adapters add their
// serial and USB bus/address.
QJsonArray listPorts(const serial::PortCatalog* catalog, const QString& lockDir, int selected);

} // namespace cli
