// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "bus/device.h"
#include "bus/i2c_master.h"
#include "sim/simulated_board.h"

#include <gtest/gtest.h>

namespace {

QString bits(int value, int width)
{
    return QString::number(value, 2).rightJustified(width, QLatin1Char('0'));
}

// The board, open on COM1, driven through the real bus layer.
struct Rig {
    Rig() { board.open(1); }

    void write(const QString& a0, int reg, int code,
               decltype(bus::writeDacRegister)* how = bus::writeDacRegister)
    {
        how(m, bits(code & 0xFF, 8), bits(code >> 8, 8), bus::writeAddress(a0), bits(reg, 8));
    }
    void burn(int reg, int code) { write("0", reg, code, bus::programOtpRegister); }
    double read(const QString& a0, int reg) { return bus::readRegister(m, a0, bits(reg, 5)); }

    sim::SimulatedBoard board;
    bus::I2cMaster m{board};
};

// Burns fill one bank until the next reset, and a reset (the general call reaches both chips) reloads the
// last bank burnt; a new bank starts as a copy of the last one, and once all eight are used burns are lost.
TEST(SimulatedBoard, OtpBanksAndTheGeneralCall)
{
    Rig r;
    r.write("0", 2, 0x055);
    r.write("1", 4, 0x200);
    r.burn(0, 0x111);
    r.burn(1, 0x222);
    EXPECT_EQ(bus::readBankStatusWord(r.m, "0"), 1);
    r.write("0", 0, 0x3FF);
    bus::resetChip(r.m);
    EXPECT_EQ(r.read("0", 0), 0x111);
    EXPECT_EQ(r.read("0", 1), 0x222);
    EXPECT_EQ(r.read("0", 2), 0); // not burnt
    EXPECT_EQ(r.read("1", 4), 0); // no bank at all
    EXPECT_EQ(r.board.chip(0x75)->resets(), 1);

    r.burn(0, 0x333);
    bus::resetChip(r.m);
    EXPECT_EQ(r.read("0", 0), 0x333);
    EXPECT_EQ(r.read("0", 1), 0x222);
    for (int bank = 3; bank <= sim::SimulatedChip::kBanks; ++bank) {
        r.burn(3, bank);
        bus::resetChip(r.m);
    }
    r.burn(3, 99);
    bus::resetChip(r.m);
    EXPECT_EQ(bus::readBankStatusWord(r.m, "0"), sim::SimulatedChip::kBanks);
    EXPECT_EQ(r.read("0", 3), sim::SimulatedChip::kBanks);

    EXPECT_THROW(r.board.open(2), serial::PortError) << "the board is COM1 alone";
}

} // namespace
