// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// Drives line requests through PosixSerialPort on a pseudo-terminal, so that strace can count what each one
// costs. A pty has no modem lines and refuses every request; the refusal still costs the one ioctl we want
// to see, and the bus code above gets the same PortError it would get from a misbehaving adapter.
#include "serial/port_catalog.h"
#include "serial/posix_serial_port.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    const long requests = argc > 1 ? std::atol(argv[1]) : 30000;

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pseudo-terminal");
        return 1;
    }
    serial::PortCatalog catalog({{1, QString::fromLocal8Bit(ptsname(master))}}, {});
    serial::PosixSerialPort port(catalog);
    port.setLineSettings(9600);
    port.open(1);

    long refused = 0;
    for (long i = 0; i < requests; ++i) {
        try {
            switch (i % 3) {
            case 0:
                port.setRts(i & 1);
                break;
            case 1:
                port.setDtr(i & 1);
                break;
            default:
                port.dsr();
                break;
            }
        } catch (const serial::PortError&) {
            ++refused;
        }
    }
    port.close();
    ::close(master);
    std::printf("%ld line requests, %ld refused by the pty\n", requests, refused);
    return 0;
}
