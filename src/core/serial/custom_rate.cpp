// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// Kept in a file of its own: the kernel's termios2 header cannot share a translation unit with <termios.h>.
#include "serial/custom_rate.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace serial {

bool setCustomRate(int fd, int bitRate)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = static_cast<speed_t>(bitRate);
    tio.c_ospeed = static_cast<speed_t>(bitRate);
    return ioctl(fd, TCSETS2, &tio) == 0;
}

} // namespace serial
