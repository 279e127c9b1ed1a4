// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// A program that knows nothing of the modem shim, for trying the shim preloaded: it opens the device as COM1
// through the POSIX port and reads one register of the chip, or writes it when given a code.
// Usage: krm_shim_probe <device> <a0> <register> [<code>]
#include "bus/device.h"
#include "serial/port_catalog.h"
#include "serial/posix_serial_port.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s <device> <a0> <register> [<code>]\n", argv[0]);
        return 2;
    }
    const auto bits = [](int value, int width) {
        return QString::number(value, 2).rightJustified(width, '0');
    };
    serial::PortCatalog catalog({{1, QString::fromLocal8Bit(argv[1])}}, {});
    serial::PosixSerialPort port(catalog);
    bus::I2cMaster i2c(port);
    const QString a0 = QString::fromLocal8Bit(argv[2]);
    const int reg = std::atoi(argv[3]), code = argc == 5 ? std::atoi(argv[4]) : -1;
    try {
        port.open(1);
        if (code >= 0)
            bus::writeDacRegister(i2c, bits(code & 0xFF, 8), bits(code >> 8, 8), bus::writeAddress(a0),
                                  bits(reg, 8));
        else
            std::printf("%.0f\n", bus::readRegister(i2c, a0, bits(reg, 5)));
    } catch (const serial::PortError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
