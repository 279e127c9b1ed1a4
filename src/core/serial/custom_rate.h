// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

namespace serial {

// Sets a bit rate that has no termios constant (28800, which the port dialog offers, is one) through the
// kernel's arbitrary-rate interface. False when the device refuses it; errno says why.
bool setCustomRate(int fd, int bitRate);

} // namespace serial
