// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The POSIX port end to end: the real port code on a pseudo-terminal whose modem requests the modem shim
// serves from a simulated board, with the bus layer and the program's state on top.
#include "app/bench.h"
#include "bus/device.h"
#include "bus/i2c_master.h"
#include "serial/posix_serial_port.h"

#include "support/pty_board.h"
#include "support/recording_port.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>

namespace {

QString bits(int value, int width)
{
    return QString::number(value, 2).rightJustified(width, QLatin1Char('0'));
}

krm_shim_config withCodes()
{
    krm_shim_config config = krm_shim_default_config();
    for (int reg = 0; reg < KRM_SHIM_REGISTERS; ++reg) {
        config.codes[0][reg] = static_cast<unsigned short>(1000 - 37 * reg);
        config.codes[1][reg] = static_cast<unsigned short>(3 * reg + 1);
    }
    return config;
}

// The bus layer on the real port, each line request recorded on its way down.
struct Rig {
    explicit Rig(const krm_shim_config& config = withCodes()) : board(config) { port.open(1); }

    double read(const QString& a0, int reg) { return bus::readRegister(i2c, a0, bits(reg, 5)); }
    void write(const QString& a0, int reg, int code)
    {
        bus::writeDacRegister(i2c, bits(code & 0xFF, 8), bits(code >> 8, 8), bus::writeAddress(a0),
                              bits(reg, 8));
    }

    PtyBoard board;
    serial::PortCatalog catalog = board.catalog();
    QTemporaryDir locks;
    serial::PosixSerialPort port{catalog, locks.path()};
    RecordingPort recorder{&port};
    bus::I2cMaster i2c{recorder};
};

TEST(PosixPortOnBoard, ReadsWritesBurnsAndResetsTheChipsOneIoctlPerLineRequest)
{
    Rig r;
    const unsigned long ioctlsAtOpen = krm_shim_requests(), lineRequestsAtOpen = krm_shim_line_requests();
    for (int reg = 0; reg < KRM_SHIM_REGISTERS; ++reg)
        EXPECT_EQ(r.read("0", reg), 1000 - 37 * reg) << reg;
    EXPECT_EQ(r.read("1", 23), 70);

    r.write("1", 7, 0x1C3);
    EXPECT_EQ(krm_shim_dac_register(0x75, 7), 0x1C3);
    EXPECT_EQ(krm_shim_dac_register(0x74, 7), 1000 - 37 * 7);
    EXPECT_EQ(r.read("1", 7), 0x1C3);

    EXPECT_EQ(bus::readBankStatusWord(r.i2c, "0"), 0);
    bus::programOtpRegister(r.i2c, bits(0x55, 8), bits(0x1, 8), bus::writeAddress("0"), bits(2, 8));
    EXPECT_EQ(bus::readBankStatusWord(r.i2c, "0"), 1);
    EXPECT_EQ(krm_shim_bank_status(0x74), 1);

    // The general call reaches both chips: 0x74 reloads its burnt bank, 0x75 has none and clears.
    bus::resetChip(r.i2c);
    EXPECT_EQ(krm_shim_resets(0x74), 1);
    EXPECT_EQ(krm_shim_resets(0x75), 1);
    EXPECT_EQ(r.read("0", 2), 0x155);
    EXPECT_EQ(r.read("0", 3), 0);
    EXPECT_EQ(r.read("1", 7), 0);

    EXPECT_EQ(krm_shim_requests() - ioctlsAtOpen, r.recorder.requests.size());
    EXPECT_EQ(krm_shim_line_requests() - lineRequestsAtOpen, r.recorder.requests.size());
}

// Each fault with a register holding 0x2A5: what the read gives, and DSR right after opening.
TEST(PosixPortOnBoard, ReadBackWireFaultsAndAChipStrandedMidRead)
{
    const struct {
        krm_shim_dsr dsr;
        int stranded;
        double read;
        bool dsrAtOpen;
    } cases[] = {
        {KRM_SHIM_DSR_WIRED, 0, 0x2A5, false},
        {KRM_SHIM_DSR_DEAD, 0, 65535, false},
        {KRM_SHIM_DSR_STUCK, 0, 0, true},
        // The stranded chip holds SDA low until the first transaction clocks it free; that one is lost.
        {KRM_SHIM_DSR_WIRED, 0x74, 0x2A5, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.dsr << " stranded " << c.stranded);
        krm_shim_config config = krm_shim_default_config();
        config.codes[0][5] = 0x2A5;
        config.dsr = c.dsr;
        config.stranded = c.stranded;
        Rig r(config);
        EXPECT_EQ(r.port.dsr(), c.dsrAtOpen);
        if (c.stranded) {
            r.read("0", 5);
            EXPECT_EQ(krm_shim_sda_wire(), 1);
        }
        EXPECT_EQ(r.read("0", 5), c.read);
    }
}

// The adapter vanishes in the middle of a transaction: one Gone, the port closed, then not one more system
// call on the device however much the program goes on talking to the chip.
TEST(PosixPortOnBoard, AdapterPulledMidTransactionIsReportedOnceThenThePortStaysQuiet)
{
    for (const bool writing : {false, true}) {
        SCOPED_TRACE(writing ? "write" : "read");
        Rig r;
        // Into the last byte of a write, into the word coming back of a read.
        krm_shim_pull_after(200);
        int reported = 0;
        try {
            writing ? r.write("0", 4, 0x3FF) : void(r.read("0", 4));
        } catch (const serial::PortError& e) {
            ++reported;
            EXPECT_EQ(e.kind(), serial::PortFailure::Gone);
            EXPECT_EQ(e.reason(), QString::fromLocal8Bit(std::strerror(EIO)));
        }
        EXPECT_EQ(reported, 1);
        EXPECT_FALSE(r.port.isOpen());
        EXPECT_EQ(krm_shim_dac_register(0x74, 4), 1000 - 37 * 4) << "the half-sent write must not land";

        const unsigned long ioctls = krm_shim_requests();
        double value = 0;
        EXPECT_NO_THROW(value = r.read("0", 4));
        EXPECT_EQ(value, 65535);
        EXPECT_NO_THROW(r.write("0", 4, 0));
        EXPECT_NO_THROW(bus::resetChip(r.i2c));
        EXPECT_EQ(krm_shim_requests(), ioctls);
    }
}

// The program's own state object, given a POSIX port and its catalog, reads the chip and writes it back.
TEST(PosixPortOnBoard, BenchReadsAllChannelsAndWritesOneBack)
{
    PtyBoard board(withCodes());
    QTemporaryDir dir;
    auto catalog = std::make_unique<serial::PortCatalog>(board.catalog());
    auto port = std::make_unique<serial::PosixSerialPort>(*catalog, dir.path());
    app::Bench bench(dir.filePath("KRM72340.ini"), std::move(port), std::move(catalog));
    qint32 rate = 9600;
    qint16 number = 1;
    ASSERT_TRUE(bench.link.fncInitializeComPort(rate, number));

    model::ChannelModel& channels = bench.channels;
    channels.a0_state = "1";
    channels.readAllChannels();
    for (int n = 1; n <= KRM_SHIM_REGISTERS; ++n)
        EXPECT_EQ(channels.code[n], 3 * (n - 1) + 1) << n;
    channels.cur_chan = 5;
    channels.code[5] = 777;
    channels.write_current_channel();
    EXPECT_EQ(krm_shim_dac_register(0x75, 4), 777);
    EXPECT_EQ(krm_shim_dac_register(0x74, 4), 1000 - 37 * 4);
}

// What a start of the program finds on a real port, before any transaction: the lines, then the chip.
TEST(PosixPortOnBoard, TheLinesAndTheChipAreCheckedAtOpenAndAFailedCheckKeepsTheBusQuiet)
{
    using State = app::Connection::PortState;
    using Presence = app::Connection::Presence;
    const struct {
        const char* what;
        void (*fault)(krm_shim_config&);
        State state;
        bus::LineHealth health;
        Presence presence;
    } cases[] = {
        {"all well", [](krm_shim_config&) {}, State::Open, bus::LineHealth::Ok, Presence::Answers},
        {"read-back wire broken", [](krm_shim_config& c) { c.dsr = KRM_SHIM_DSR_DEAD; }, State::Open,
         bus::LineHealth::ReadbackNeverAsserts, Presence::Unknown},
        {"SDA held by a chip", [](krm_shim_config& c) { c.stranded = 0x74; }, State::Open,
         bus::LineHealth::Recovered, Presence::Answers},
        {"board unpowered", [](krm_shim_config& c) { c.chips = KRM_SHIM_CHIPS_NONE; }, State::Open,
         bus::LineHealth::Ok, Presence::NoAnswer},
        // Two line requests release the lines after the open; the adapter goes during the check.
        {"adapter pulled during the check", [](krm_shim_config& c) { c.gone_after = 5; }, State::Gone,
         bus::LineHealth::Unchecked, Presence::Unknown},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        krm_shim_config config = withCodes();
        c.fault(config);
        PtyBoard board(config);
        QTemporaryDir dir;
        auto catalog = std::make_unique<serial::PortCatalog>(board.catalog());
        auto port = std::make_unique<serial::PosixSerialPort>(*catalog, dir.path());
        app::Bench bench(dir.filePath("KRM72340.ini"), std::move(port), std::move(catalog));
        bench.link.PortNumber = 1;
        bench.link.BitRate = 9600;
        bench.link.EnumerateComPorts();
        bench.link.OpenSelectedPort();
        const app::Connection& connection = bench.connection;
        EXPECT_EQ(connection.portState(), c.state);
        EXPECT_EQ(connection.lines().health, c.health);
        EXPECT_EQ(connection.presence(), c.presence);

        const unsigned long served = krm_shim_line_requests();
        try {
            bench.channels.readAllChannels();
        } catch (const bus::BusUnusable&) {
            EXPECT_FALSE(connection.lines().usable());
        }
        if (!connection.lines().usable()) {
            EXPECT_EQ(krm_shim_line_requests(), served) << "nothing on the bus";
        } else if (c.presence == Presence::Answers) {
            EXPECT_EQ(bench.channels.code[24], 1000 - 37 * 23);
        }
    }
}

// A program that does not link the shim gets it preloaded, with its configuration from the environment;
// one board's memory carries over from run to run through the state file.
TEST(PosixPortOnBoard, PreloadedIntoAProgramOneBoardAcrossRuns)
{
    QTemporaryDir dir;
    const QString state = dir.filePath("board.state");
    PtyBoard board;
    const auto run = [&](const krm_shim_config& config, const QStringList& args) {
        QProcess probe;
        probe.setProcessEnvironment(board.childEnvironment(config, state));
        probe.start(KRM_SHIM_PROBE, QStringList{board.slave()} + args);
        EXPECT_TRUE(probe.waitForFinished(60000));
        EXPECT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
        return QString::fromLocal8Bit(probe.readAllStandardOutput()).trimmed();
    };
    krm_shim_config config = withCodes();
    EXPECT_EQ(run(config, {"0", "3"}), "889");
    EXPECT_EQ(run(config, {"1", "9", "600"}), "");
    config.dsr = KRM_SHIM_DSR_DEAD;
    EXPECT_EQ(run(config, {"1", "9"}), "65535");
    config.dsr = KRM_SHIM_DSR_WIRED;
    EXPECT_EQ(run(config, {"1", "9"}), "600");

    board.loadState(state);
    EXPECT_EQ(krm_shim_dac_register(0x75, 9), 600);
    EXPECT_EQ(krm_shim_dac_register(0x74, 3), 889);
}

} // namespace
