// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "sim/simulated_board.h"

// A chip in use: register n holds 100 + n, and its first banksUsed OTP banks are burnt, the last of them
// with code 5 everywhere, which a reset loads.
inline sim::SimulatedChip::Memory usedChip(int banksUsed)
{
    sim::SimulatedChip::Memory memory;
    for (int reg = 0; reg < 24; ++reg)
        memory.dac[reg] = quint16(100 + reg);
    memory.banksUsed = banksUsed;
    if (banksUsed > 0)
        memory.otp[banksUsed - 1].fill(5);
    return memory;
}
