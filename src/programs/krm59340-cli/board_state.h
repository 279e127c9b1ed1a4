// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace sim {
class SimulatedBoard;
}

namespace cli {

// The simulated chips' memory kept in a file between runs (--simulate --state), so that a script that sets
// and then reads can be rehearsed without a board. A small INI text, one section a chip:
//
//     [0x74]
//     dac = 0 0 512 ... (24 codes)
//     otp1 = ... (24 codes; otp1..otp8, the OTP banks)
//     banks_used = 1
//     bank_open = 0
//     resets = 2
//
// A missing file is a fresh board. Throws UsageError naming the file and the entry when it cannot be used.
void loadBoardState(const QByteArray& path, sim::SimulatedBoard& board);
// Replaces the file in one step; returns why it could not.
std::optional<QString> saveBoardState(const QByteArray& path, sim::SimulatedBoard& board);

} // namespace cli
