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

void writeDac(bus::I2cMaster& m, const QString& a0, int reg, int code)
{
    bus::writeDacRegister(m, bits(code & 0xFF, 8), bits(code >> 8, 8), bus::writeAddress(a0), bits(reg, 8));
}

void burn(bus::I2cMaster& m, int reg, int code)
{
    bus::programOtpRegister(m, bits(code & 0xFF, 8), bits(code >> 8, 8), bus::writeAddress("0"),
                            bits(reg, 8));
}

double read(bus::I2cMaster& m, const QString& a0, int reg)
{
    return bus::readRegister(m, a0, bits(reg, 5));
}

// Passes every request on to the board and watches the chips: a chip may move SDA only while SCL is low.
class WatchingPort : public sim::SimulatedBoard {
public:
    using SimulatedBoard::SimulatedBoard;
    int sdaMovesWhileSclHigh = 0;

    void setRts(bool asserted) override
    {
        watch([&] { SimulatedBoard::setRts(asserted); });
    }
    void setDtr(bool asserted) override
    {
        sclHigh_ = !asserted;
        watch([&] { SimulatedBoard::setDtr(asserted); });
    }

private:
    template <typename F> void watch(F request)
    {
        const int before = pulls();
        request();
        if (pulls() != before && sclHigh_)
            ++sdaMovesWhileSclHigh;
    }
    int pulls() { return (chip(0x74)->pullsSda() ? 1 : 0) + (chip(0x75)->pullsSda() ? 2 : 0); }
    bool sclHigh_ = true;
};

class Board : public ::testing::Test {
protected:
    void SetUp() override { board.open(1); }
    sim::SimulatedBoard board{Chips::Both};
    bus::I2cMaster master{board};
};

TEST_F(Board, EachChipKeepsAndReturnsOnlyItsOwnCodes)
{
    const int regs[] = {0, 2, 23};
    for (int reg : regs) {
        writeDac(master, "0", reg, 0x2A5 + reg);
        writeDac(master, "1", reg, 0x15A - reg);
    }
    writeDac(master, "0", 1, 1023);
    for (int reg : regs) {
        EXPECT_EQ(read(master, "0", reg), 0x2A5 + reg);
        EXPECT_EQ(read(master, "1", reg), 0x15A - reg);
    }
    EXPECT_EQ(read(master, "0", 1), 1023);
    EXPECT_EQ(read(master, "1", 1), 0);
    EXPECT_EQ(board.chip(0x74)->dacRegister(2), 0x2A7);
    EXPECT_EQ(board.chip(0x75)->dacRegister(2), 0x158);
    EXPECT_EQ(read(master, "0", 30), 0); // no such register
}

TEST(SimulatedBoard, AbsentChipReadsAsAllOnes)
{
    const std::tuple<Chips, QString, double> cases[] = {
        {Chips::None, "0", 65535},   {Chips::None, "1", 65535},  {Chips::A0Low, "1", 65535},
        {Chips::A0High, "0", 65535}, {Chips::A0Low, "0", 0x123}, {Chips::A0High, "1", 0x123},
    };
    for (const auto& [chips, a0, expected] : cases) {
        SCOPED_TRACE(a0.toStdString() + " with chips " + std::to_string(int(chips)));
        sim::SimulatedBoard board(chips);
        board.open(1);
        bus::I2cMaster master(board);
        writeDac(master, a0, 5, 0x123);
        EXPECT_EQ(read(master, a0, 5), expected);
        EXPECT_EQ(bus::readBankStatusWord(master, a0), expected == 65535 ? 65535 : 0);
    }
}

TEST_F(Board, OtpBurnsOneBankPerResetAndResetReloadsIt)
{
    auto* chip = board.chip(0x74);
    writeDac(master, "0", 2, 0x055);
    burn(master, 0, 0x111);
    burn(master, 1, 0x222);
    EXPECT_EQ(bus::readBankStatusWord(master, "0"), 1);
    writeDac(master, "0", 0, 0x3FF);
    bus::resetChip(master);
    EXPECT_EQ(read(master, "0", 0), 0x111);
    EXPECT_EQ(read(master, "0", 1), 0x222);
    EXPECT_EQ(read(master, "0", 2), 0); // not burnt
    EXPECT_EQ(chip->resets(), 1);

    // The next bank starts as a copy of the last one.
    burn(master, 0, 0x333);
    bus::resetChip(master);
    EXPECT_EQ(bus::readBankStatusWord(master, "0"), 2);
    EXPECT_EQ(read(master, "0", 0), 0x333);
    EXPECT_EQ(read(master, "0", 1), 0x222);
    EXPECT_EQ(chip->otpCode(0, 0), 0x111);

    for (int session = 0; session < sim::SimulatedChip::kBanks; ++session) {
        burn(master, 3, session);
        bus::resetChip(master);
    }
    EXPECT_EQ(bus::readBankStatusWord(master, "0"), sim::SimulatedChip::kBanks);
    EXPECT_EQ(read(master, "0", 3), sim::SimulatedChip::kBanks - 3); // later burns are lost
}

TEST_F(Board, GeneralCallResetsBothChips)
{
    writeDac(master, "0", 4, 0x100);
    writeDac(master, "1", 4, 0x200);
    bus::resetChip(master);
    EXPECT_EQ(read(master, "0", 4), 0);
    EXPECT_EQ(read(master, "1", 4), 0);
    EXPECT_EQ(board.chip(0x74)->resets(), 1);
    EXPECT_EQ(board.chip(0x75)->resets(), 1);
    EXPECT_EQ(bus::readBankStatusWord(master, "1"), 0);
}

TEST(SimulatedBoard, ChipsMoveSdaOnlyWhileSclIsLow)
{
    WatchingPort port(Chips::Both);
    port.open(1);
    bus::I2cMaster master(port);
    writeDac(master, "1", 7, 0x2AA);
    EXPECT_EQ(read(master, "1", 7), 0x2AA);
    burn(master, 7, 0x155);
    bus::resetChip(master);
    EXPECT_EQ(read(master, "0", 7), 0x155);
    EXPECT_EQ(read(master, "1", 7), 0);
    EXPECT_EQ(port.sdaMovesWhileSclHigh, 0);
}

TEST(SimulatedBoard, BehavesAsPortCom1)
{
    sim::SimulatedBoard board;
    bus::I2cMaster master(board);
    EXPECT_EQ(read(master, "0", 0), 65535); // closed: requests do nothing, DSR reads not asserted
    EXPECT_EQ(board.lineRequests(), 0u);
    EXPECT_THROW(board.write("x"), serial::PortError);

    for (int n : {0, 2, 16}) {
        try {
            board.open(n);
            ADD_FAILURE() << "opened COM" << n;
        } catch (const serial::PortError& e) {
            EXPECT_EQ(e.kind(), serial::PortFailure::CannotUse);
        }
    }
    board.open(1);
    EXPECT_TRUE(board.isOpen());
    EXPECT_EQ(board.portNumber(), 1);
    board.write(QByteArray("\x01\0\0\0", 4));
    EXPECT_EQ(board.transmitted(), QByteArray("\x01\0\0\0", 4));

    for (int reg = 0; reg < 24; ++reg)
        read(master, "0", reg);
    bus::readBankStatusWord(master, "0");
    EXPECT_EQ(board.lineRequests(), 7650u);
}

} // namespace
