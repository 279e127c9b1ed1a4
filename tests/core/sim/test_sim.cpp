// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "bus/device.h"
#include "bus/i2c_master.h"
#include "sim/simulated_board.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using Chips = sim::SimulatedBoard::Chips;

QString bits(int value, int width)
{
    return QString::number(value, 2).rightJustified(width, QLatin1Char('0'));
}

// The board, open on COM1, driven through the real bus layer.
struct Rig {
    explicit Rig(Chips chips = Chips::Both) : board(chips) { board.open(1); }

    void write(const QString& a0, int reg, int code)
    {
        bus::writeDacRegister(m, bits(code & 0xFF, 8), bits(code >> 8, 8), bus::writeAddress(a0),
                              bits(reg, 8));
    }
    void burn(int reg, int code)
    {
        bus::programOtpRegister(m, bits(code & 0xFF, 8), bits(code >> 8, 8), bus::writeAddress("0"),
                                bits(reg, 8));
    }
    double read(const QString& a0, int reg) { return bus::readRegister(m, a0, bits(reg, 5)); }
    double banks() { return bus::readBankStatusWord(m, "0"); }

    sim::SimulatedBoard board;
    bus::I2cMaster m{board};
};

TEST(SimulatedBoard, EachChipKeepsItsOwnCodesAndAnAbsentChipReadsAllOnes)
{
    // Read-back of register 23 at A0 0 and at A0 1 after writing 0x2A5 to the one and 0x15A to the other.
    const std::tuple<Chips, double, double> cases[] = {
        {Chips::Both, 0x2A5, 0x15A},
        {Chips::A0Low, 0x2A5, 65535},
        {Chips::A0High, 65535, 0x15A},
        {Chips::None, 65535, 65535},
    };
    for (const auto& [chips, low, high] : cases) {
        SCOPED_TRACE(static_cast<int>(chips));
        Rig r(chips);
        r.write("0", 23, 0x2A5);
        r.write("1", 23, 0x15A);
        EXPECT_EQ(r.read("0", 23), low);
        EXPECT_EQ(r.read("1", 23), high);
        EXPECT_EQ(r.read("0", 2), low == 65535 ? 65535 : 0);
        if (auto* chip = r.board.chip(0x74)) {
            EXPECT_EQ(chip->dacRegister(23), 0x2A5);
        }
    }
}

TEST(SimulatedBoard, OtpBurnsOneBankPerResetAndResetReloadsIt)
{
    Rig r;
    r.write("0", 2, 0x055);
    r.burn(0, 0x111);
    r.burn(1, 0x222);
    EXPECT_EQ(r.banks(), 1);
    r.write("0", 0, 0x3FF);
    bus::resetChip(r.m);
    EXPECT_EQ(r.read("0", 0), 0x111);
    EXPECT_EQ(r.read("0", 1), 0x222);
    EXPECT_EQ(r.read("0", 2), 0); // not burnt

    // The next bank starts as a copy of the last one; once all eight are used, further burns are lost.
    r.burn(0, 0x333);
    bus::resetChip(r.m);
    EXPECT_EQ(r.banks(), 2);
    EXPECT_EQ(r.read("0", 0), 0x333);
    EXPECT_EQ(r.read("0", 1), 0x222);
    for (int session = 0; session < sim::SimulatedChip::kBanks; ++session) {
        r.burn(3, session);
        bus::resetChip(r.m);
    }
    EXPECT_EQ(r.banks(), sim::SimulatedChip::kBanks);
    EXPECT_EQ(r.read("0", 3), sim::SimulatedChip::kBanks - 3);
}

TEST(SimulatedBoard, GeneralCallResetsBothChips)
{
    Rig r;
    r.write("0", 4, 0x100);
    r.write("1", 4, 0x200);
    bus::resetChip(r.m);
    EXPECT_EQ(r.read("0", 4), 0);
    EXPECT_EQ(r.read("1", 4), 0);
    EXPECT_EQ(r.board.chip(0x74)->resets(), 1);
    EXPECT_EQ(r.board.chip(0x75)->resets(), 1);
}

TEST(SimulatedBoard, IsPortCom1Only)
{
    sim::SimulatedBoard board;
    EXPECT_THROW(board.open(2), serial::PortError);
    EXPECT_FALSE(board.dsr()); // closed: no line requests served
    board.open(1);
    EXPECT_EQ(board.portNumber(), 1);
}

} // namespace
