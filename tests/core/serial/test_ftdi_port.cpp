// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The FTDI port end to end: the real port code, libftdi and libusb against FT232R and FT231X adapters that
// umockdev emulates, with the simulated board on their pins and the bus layer on top.
#include "bus/device.h"
#include "bus/i2c_master.h"
#include "serial/ftdi_sync_port.h"
#include "serial/tracing_port.h"

#include "support/ftdi_emulator.h"
#include "support/qstring_printer.h"
#include "support/recording_port.h"
#include "support/sigrok_decode.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Action = std::function<void(bus::I2cMaster&)>;
using serial::PortFailure;
using Chips = sim::SimulatedBoard::Chips;

QString bits(int value, int width)
{
    return QString::number(value, 2).rightJustified(width, QLatin1Char('0'));
}

// The pins a request string drives: a byte per RTS or DTR request (asserted: low), TXD and the lines idle
// before the first.
QByteArray pinsFor(const std::string& requests)
{
    quint8 pins = 0x15;
    QByteArray out;
    for (char c : requests) {
        const quint8 pin = c == 'R' || c == 'r' ? 0x04 : c == 'D' || c == 'd' ? 0x10 : 0;
        if (pin)
            out.append(char(pins = c == 'R' || c == 'D' ? pins & ~pin : pins | pin));
    }
    return out;
}

class FtdiPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ftdiemu::Emulator::preloaded())
            << "run under umockdev-wrapper, as ctest does: umockdev-wrapper build/tests/test_ftdi_port";
    }
    void TearDown() override
    {
        for (ftdiemu::Adapter* adapter : adapters)
            EXPECT_EQ(adapter->problems(), QStringList()) << adapter->spec().serial.toStdString();
    }
    ftdiemu::Adapter& add(ftdiemu::AdapterSpec spec = {})
    {
        adapters.push_back(&emulator->add(spec));
        return *adapters.back();
    }
    std::optional<serial::PortError> openFails(const QString& path)
    {
        catalog = serial::PortCatalog({{1, path}}, {});
        try {
            port.open(1);
        } catch (const serial::PortError& e) {
            return e;
        }
        return std::nullopt;
    }

    std::unique_ptr<ftdiemu::Emulator> emulator = std::make_unique<ftdiemu::Emulator>();
    std::vector<ftdiemu::Adapter*> adapters;
    serial::PortCatalog catalog{{{1, "ftdi://A1B2C3"}}, {}};
    serial::FtdiSyncPort port{catalog};
    bus::I2cMaster i2c{port};
};

// The pins carry the modem-line path's requests one byte each, in order, and a transaction takes one
// write and one read-back per 128 bytes.
TEST_F(FtdiPort, EveryTransactionDrivesThePinsAsTheModemLinesAndTakesAFewTransfers)
{
    const std::pair<const char*, Action> cases[] = {
        {"pointer write", [](auto& m) { m.i2cWritePointer("11101000", "00000010"); }},
        {"read", [](auto& m) { m.i2cReadWord("11101001"); }},
        {"DAC write",
         [](auto& m) { bus::writeDacRegister(m, "10100101", "00000010", "11101000", "00000010"); }},
        {"general call", [](auto& m) { bus::resetChip(m); }},
        {"probe", [](auto& m) { m.probe("11101000"); }},
    };
    ftdiemu::Adapter& adapter = add();
    port.open(1);
    for (const auto& [what, run] : cases) {
        SCOPED_TRACE(what);
        RecordingPort recording;
        bus::I2cMaster reference(recording);
        run(reference);
        const QByteArray pinsBefore = adapter.pinBytes();
        const ftdiemu::Traffic before = adapter.traffic();
        run(i2c);
        EXPECT_EQ(adapter.pinBytes().mid(pinsBefore.size()).toHex(), pinsFor(recording.requests).toHex());
        const int transfers = int(pinsFor(recording.requests).size() + 127) / 128;
        EXPECT_EQ(adapter.traffic().bulkOut - before.bulkOut, transfers);
        EXPECT_EQ(adapter.traffic().bulkIn - before.bulkIn, transfers);
    }
}

TEST_F(FtdiPort, TheLineCheckRightAfterTheOpenTellsAWorkingBusFromABrokenOne)
{
    using bus::LineHealth;
    // what, the board's faults, the chip stranded mid-read (0: none), then what the check finds
    const std::tuple<const char*, sim::SimulatedBoard::Faults, int, LineHealth, int> cases[] = {
        {"healthy", {}, 0, LineHealth::Ok, 0},
        {"DSR wire broken", {true, false, -1}, 0, LineHealth::ReadbackNeverAsserts, 0},
        {"DSR stuck asserted", {false, true, -1}, 0, LineHealth::SdaStaysLow, 0},
        // The dip as the mode starts is a clock pulse of its own: one fewer than on the modem lines.
        {"chip stranded mid-read", {}, 0x74, LineHealth::Recovered, 6},
    };
    for (const auto& [what, faults, stranded, health, pulses] : cases) {
        SCOPED_TRACE(what);
        adapters.clear();
        emulator.reset(); // one testbed at a time: the old one takes UMOCKDEV_DIR with it
        emulator = std::make_unique<ftdiemu::Emulator>();
        sim::SimulatedBoard& board = add().board();
        board.chip(0x74)->setDacRegister(5, 0x155);
        board.setFaults(faults);
        if (stranded)
            board.strandChipMidRead(stranded);
        port.open(1);
        const bus::LineCheck check = bus::checkLines(port);
        EXPECT_EQ(check.health, health);
        EXPECT_EQ(check.recoveryPulses, pulses);
        EXPECT_TRUE(board.sdaWire() || !check.usable()) << "SDA released at the end";
        if (check.usable()) {
            EXPECT_EQ(bus::readRegister(i2c, "0", "00101"), 0x155);
        }
        port.close();
    }
}

// Whatever the chip, and however the read-back trickles in.
TEST_F(FtdiPort, ReadsWritesBurnsAndResetsTheChip)
{
    const std::tuple<const char*, ftdiemu::Chip, bool> cases[] = {
        {"FT232R", ftdiemu::Chip::FT232R, false},
        {"FT231X", ftdiemu::Chip::FT231X, false},
        {"FT232R, partial and empty reads", ftdiemu::Chip::FT232R, true},
    };
    for (const auto& [what, chip, stingy] : cases) {
        SCOPED_TRACE(what);
        adapters.clear();
        emulator.reset(); // one testbed at a time: the old one takes UMOCKDEV_DIR with it
        emulator = std::make_unique<ftdiemu::Emulator>();
        ftdiemu::Adapter& adapter = add({chip, "A1B2C3", Chips::A0Low});
        adapter.setStingyReads(stingy);
        sim::SimulatedChip& chip74 = *adapter.board().chip(0x74);
        for (int reg = 0; reg < 24; ++reg)
            chip74.setDacRegister(reg, (reg * 97 + 5) % 1024);
        port.open(1);
        EXPECT_TRUE(port.description().startsWith(chip == ftdiemu::Chip::FT232R ? "FT232R A1B2C3" : "FT-X"));
        ASSERT_EQ(bus::checkLines(port).health, bus::LineHealth::Ok);
        EXPECT_TRUE(i2c.probe(bus::writeAddress("0")));
        EXPECT_FALSE(i2c.probe(bus::writeAddress("1")));
        for (int reg = 0; reg < 24; ++reg)
            EXPECT_EQ(bus::readRegister(i2c, "0", bits(reg, 5)), (reg * 97 + 5) % 1024) << reg;
        EXPECT_EQ(bus::readBankStatusWord(i2c, "0"), 0);

        bus::writeDacRegister(i2c, "10100101", "00000010", bus::writeAddress("0"), bits(7, 8));
        EXPECT_EQ(chip74.dacRegister(7), 0x2A5);
        bus::programOtpRegister(i2c, "01011010", "00000001", bus::writeAddress("0"), bits(7, 8));
        bus::resetChip(i2c);
        EXPECT_EQ(chip74.resets(), 1);
        EXPECT_EQ(bus::readBankStatusWord(i2c, "0"), 1);
        EXPECT_EQ(bus::readRegister(i2c, "0", bits(7, 5)), 0x15A) << "the reset loads the burnt bank";
        port.close();
    }
}

TEST_F(FtdiPort, TheTriggerBlockGoesOutOnTxdAtTheLineRateAndTheBusCarriesOnAfterIt)
{
    ftdiemu::Adapter& adapter = add();
    adapter.board().chip(0x74)->setDacRegister(2, 0x123);
    port.setLineSettings(19200);
    EXPECT_THROW(port.setLineSettings(2500000), serial::PortError);
    port.open(1);
    port.setRts(true); // queued: goes out before the block
    port.setRts(false);
    port.write(QByteArray::fromHex("01000000"));
    EXPECT_EQ(adapter.board().transmitted().toHex(), "01000000");
    EXPECT_EQ(adapter.uartRate(), 19200);
    EXPECT_EQ(adapter.bitBangRate(), serial::FtdiSyncPort::kBitBangRate);
    EXPECT_EQ(port.lineSettings(), "19200,N,8,1");
    EXPECT_EQ(bus::checkLines(port).health, bus::LineHealth::Ok);
    EXPECT_EQ(bus::readRegister(i2c, "0", "00010"), 0x123);
}

// What sigrok's I2C decoder reads off the trace of a start-up is what the chip was sent, acknowledges
// included.
TEST_F(FtdiPort, TheBusTraceDecodesToTheStartUpsTransactions)
{
    std::vector<int> codes;
    sim::SimulatedChip& chip = *add({ftdiemu::Chip::FT232R, "A1B2C3", Chips::A0Low}).board().chip(0x74);
    for (int reg = 0; reg < 24; ++reg)
        chip.setDacRegister(reg, codes.emplace_back((reg * 97 + 5) % 1024));
    QTemporaryDir dir;
    const QString vcd = dir.filePath("bus.vcd");
    port.open(1);
    {
        serial::TracingPort tracing(port, QFile::encodeName(vcd));
        bus::I2cMaster traced(tracing);
        traced.probe(bus::writeAddress("0"));
        for (int reg = 0; reg < 24; ++reg)
            bus::readRegister(traced, "0", bits(reg, 5));
        bus::readBankStatusWord(traced, "0");
        for (int reg = 0; reg < 24; ++reg)
            bus::writeDacRegister(traced, bits(codes[reg] & 0xFF, 8), bits(codes[reg] >> 8, 8),
                                  bus::writeAddress("0"), bits(reg, 8));
    }
    port.close();
    TearDown();
    adapters.clear();
    emulator.reset(); // sigrok-cli is to see the real system
    QString error;
    EXPECT_EQ(sigrok::decodeI2c(vcd, &error), sigrok::startupTransactions(codes)) << error.toStdString();
}

TEST_F(FtdiPort, APulledAdapterFailsOnceAndThePortCloses)
{
    sim::SimulatedBoard& board = add().board();
    port.open(1);
    bus::readRegister(i2c, "0", "00001");
    // Into the read's first transfer: a pointer write serves about 230 wire requests, the read 350.
    board.setFaults({false, false, long(board.lineRequests()) + 300});
    try {
        bus::readRegister(i2c, "0", "00001");
        ADD_FAILURE() << "no failure";
    } catch (const serial::PortError& e) {
        EXPECT_EQ(e.kind(), PortFailure::Gone) << e.what();
    }
    EXPECT_FALSE(port.isOpen());
    EXPECT_NO_THROW(bus::readRegister(i2c, "0", "00001"));
    EXPECT_EQ(i2c.readValue, 65535) << "a silent bus";
}

TEST_F(FtdiPort, AnAdapterThatCannotBeHadIsRefusedSayingWhy)
{
    EXPECT_EQ(openFails("ftdi://")->kind(), PortFailure::CannotUse);
    EXPECT_TRUE(openFails("ftdi://")->reason().contains("no FT232R or FT-X adapter"));
    add();
    add({ftdiemu::Chip::FT231X, "XB9"});
    // path, then the failure and what its reason must name
    const std::tuple<QString, PortFailure, QString> cases[] = {
        {"/dev/ttyUSB0", PortFailure::CannotUse, "not an FTDI adapter"},
        {"ftdi://", PortFailure::CannotUse, "2 adapters are plugged in (A1B2C3, XB9)"},
        {"ftdi://Q7", PortFailure::CannotUse, "no adapter has the serial Q7: plugged in: A1B2C3, XB9"},
    };
    for (const auto& [path, kind, named] : cases) {
        const auto failure = openFails(path);
        ASSERT_TRUE(failure) << path.toStdString();
        EXPECT_EQ(failure->kind(), kind) << failure->what();
        EXPECT_TRUE(failure->reason().contains(named)) << failure->what();
    }
    EXPECT_EQ(openFails("ftdi://XB9"), std::nullopt);
    EXPECT_EQ(port.description(), "FT-X XB9, synchronous bit-bang");
    port.close();

    add({ftdiemu::Chip::FT232R, "HELD", Chips::Both, true});
    const auto held = openFails("ftdi://HELD");
    ASSERT_TRUE(held);
    EXPECT_EQ(held->kind(), PortFailure::AlreadyOpen) << held->what();

    // The node not ours to open; root may open anything, so the test gives up root's rights meanwhile.
    // That user must still reach the testbed: libusb's udev monitor binds a socket in its directory, and
    // umockdev connects every open of the node (failed or not) to the handler's socket.
    const auto openToAll = [&](const QString& path, mode_t mode) {
        return ::chmod(QFile::encodeName(emulator->rootDir() + path).constData(), mode) == 0;
    };
    const QString node = adapters.front()->usbNode();
    ASSERT_TRUE(openToAll("", 0777) && openToAll("/ioctl" + node, 0666) && openToAll(node, 0600));
    const bool root = ::geteuid() == 0;
    ASSERT_TRUE(!root || ::seteuid(65534) == 0);
    const auto denied = openFails("ftdi://A1B2C3");
    ASSERT_TRUE(!root || ::seteuid(0) == 0);
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->kind(), PortFailure::PermissionDenied) << denied->what();
    EXPECT_TRUE(denied->reason().contains("60-krm59340-ftdi.rules")) << denied->what();
}

// Listed from sysfs without opening anything; while the port has an adapter, ftdi_sio lets go of it.
TEST_F(FtdiPort, AdaptersAreListedAndTheirTtysKnownAndTheKernelDriverComesBack)
{
    ftdiemu::Adapter& first = add();
    add({ftdiemu::Chip::FT231X, ""});
    const QList<serial::FtdiAdapter> found = serial::findFtdiAdapters();
    ASSERT_EQ(found.size(), 2);
    EXPECT_EQ(found[0].chip() + found[0].product + found[0].url() + found[0].usbNode() + found[0].tty,
              "FT232RFT232R USB UARTftdi://A1B2C3/dev/bus/usb/001/002/dev/ttyUSB0");
    EXPECT_EQ(found[1].chip() + found[1].url() + found[1].tty, "FT-Xftdi:///dev/ttyUSB1");
    EXPECT_EQ(first.traffic().control + first.traffic().bulkOut, 0) << "nothing opened";
    EXPECT_EQ(serial::ftdiAdapterOfTty("/dev/ttyUSB0").value_or(serial::FtdiAdapter{}).url(),
              "ftdi://A1B2C3");
    EXPECT_EQ(serial::ftdiAdapterOfTty("/dev/ttyS0"), std::nullopt);

    // A child process reaches the same testbed.
    QProcess child;
    child.start("cat", {"/sys/bus/usb/devices/1-1/serial"});
    ASSERT_TRUE(child.waitForFinished());
    EXPECT_EQ(child.readAllStandardOutput(), "A1B2C3\n");

    port.open(1);
    EXPECT_FALSE(first.driverBound());
    port.close();
    EXPECT_TRUE(first.driverBound());
}

} // namespace
