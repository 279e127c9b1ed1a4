// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The FTDI port end to end: the real port code, libftdi and libusb against FT232R and FT231X adapters that
// umockdev emulates, with the simulated board on their pins and the bus layer on top. Every adapter's
// objections (FIFO overruns, a bus line left pulled, ...) fail the test at its end.
#include "bus/device.h"
#include "bus/i2c_master.h"
#include "serial/ftdi_sync_port.h"
#include "serial/tracing_port.h"

#include "support/ftdi_emulator.h"
#include "support/qstring_printer.h"
#include "support/recording_port.h"
#include "support/sigrok_decode.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using serial::PortFailure;
using Chips = sim::SimulatedBoard::Chips;
using ftdiemu::Chip;

QString bits(int value, int width)
{
    return QString::number(value, 2).rightJustified(width, QLatin1Char('0'));
}

int codeOf(int reg)
{
    return (reg * 97 + 5) % 1024;
}

// The pins a request string drives: a byte per RTS or DTR request (asserted: low), starting from TXD and
// both lines high.
QByteArray pinsFor(const std::string& requests)
{
    quint8 pins = 0x15;
    QByteArray out;
    for (char c : requests)
        if (const quint8 pin = c == 'R' || c == 'r' ? 0x04 : c == 'D' || c == 'd' ? 0x10 : 0)
            out.append(char(pins = c == 'R' || c == 'D' ? pins & ~pin : pins | pin));
    return out;
}

class FtdiPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ftdiemu::Emulator::preloaded())
            << "run it as ctest does: umockdev-wrapper test_ftdi_port";
    }
    void TearDown() override
    {
        for (ftdiemu::Adapter* adapter : adapters)
            EXPECT_EQ(adapter->problems(), QStringList()) << adapter->setup().serial.toStdString();
        adapters.clear();
    }
    ftdiemu::Adapter& add(ftdiemu::AdapterSetup setup = {})
    {
        return *adapters.emplace_back(&emulator->add(setup));
    }
    // A testbed of its own, with this adapter alone (one testbed at a time: each takes UMOCKDEV_DIR along).
    ftdiemu::Adapter& alone(ftdiemu::AdapterSetup setup = {})
    {
        port.close();
        TearDown();
        emulator.reset();
        emulator = std::make_unique<ftdiemu::Emulator>();
        return add(setup);
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

// The pins carry the modem-line path's requests one byte each, in order, in one write and one read-back
// per 128 bytes.
TEST_F(FtdiPort, EveryTransactionDrivesThePinsAsTheModemLinesInAFewTransfers)
{
    const std::function<void(bus::I2cMaster&)> transactions[] = {
        [](auto& m) { m.i2cWritePointer("11101000", "00000010"); },
        [](auto& m) { m.i2cReadWord("11101001"); },
        [](auto& m) { bus::writeDacRegister(m, "10100101", "00000010", "11101000", "00000010"); },
        [](auto& m) { bus::resetChip(m); },
        [](auto& m) { m.probe("11101000"); },
    };
    ftdiemu::Adapter& adapter = add();
    port.open(1);
    for (const auto& run : transactions) {
        RecordingPort recording;
        bus::I2cMaster reference(recording);
        run(reference);
        const QByteArray expected = pinsFor(recording.requests);
        const qsizetype pinsBefore = adapter.pinBytes().size();
        const ftdiemu::Traffic before = adapter.traffic();
        run(i2c);
        EXPECT_EQ(adapter.pinBytes().mid(pinsBefore).toHex(), expected.toHex()) << recording.requests;
        EXPECT_EQ(adapter.traffic().bulkOut - before.bulkOut, (expected.size() + 127) / 128);
        EXPECT_EQ(adapter.traffic().bulkIn - before.bulkIn, (expected.size() + 127) / 128);
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
        sim::SimulatedBoard& board = alone().board();
        board.chip(0x74)->setDacRegister(5, 0x155);
        board.setFaults(faults);
        if (stranded)
            board.strandChipMidRead(stranded);
        port.open(1);
        const bus::LineCheck check = bus::checkLines(port);
        EXPECT_EQ(check.health, health);
        EXPECT_EQ(check.recoveryPulses, pulses);
        if (check.usable()) {
            EXPECT_EQ(bus::readRegister(i2c, "0", "00101"), 0x155);
        }
    }
}

// Whatever the chip, and however the read-back trickles in.
TEST_F(FtdiPort, ReadsWritesBurnsAndResetsTheChip)
{
    for (const auto& [what, chip, stingy] :
         {std::tuple("FT232R", Chip::FT232R, false), std::tuple("FT231X", Chip::FT231X, false),
          std::tuple("FT232R, partial and empty reads", Chip::FT232R, true)}) {
        SCOPED_TRACE(what);
        ftdiemu::Adapter& adapter = alone({chip, "A1B2C3", Chips::A0Low});
        adapter.setStingyReads(stingy);
        sim::SimulatedChip& chip74 = *adapter.board().chip(0x74);
        for (int reg = 0; reg < 24; ++reg)
            chip74.setDacRegister(reg, codeOf(reg));
        port.open(1);
        EXPECT_EQ(port.description(),
                  (chip == Chip::FT232R ? "FT232R" : "FT-X") + QString(" A1B2C3, synchronous bit-bang"));
        ASSERT_EQ(bus::checkLines(port).health, bus::LineHealth::Ok);
        EXPECT_TRUE(i2c.probe(bus::writeAddress("0")));
        EXPECT_FALSE(i2c.probe(bus::writeAddress("1")));
        for (int reg = 0; reg < 24; ++reg)
            EXPECT_EQ(bus::readRegister(i2c, "0", bits(reg, 5)), codeOf(reg)) << reg;
        EXPECT_EQ(bus::readBankStatusWord(i2c, "0"), 0);

        bus::writeDacRegister(i2c, "10100101", "00000010", bus::writeAddress("0"), bits(7, 8));
        EXPECT_EQ(chip74.dacRegister(7), 0x2A5);
        bus::programOtpRegister(i2c, "01011010", "00000001", bus::writeAddress("0"), bits(7, 8));
        bus::resetChip(i2c);
        EXPECT_EQ(chip74.resets(), 1);
        EXPECT_EQ(bus::readBankStatusWord(i2c, "0"), 1);
        EXPECT_EQ(bus::readRegister(i2c, "0", bits(7, 5)), 0x15A) << "the reset loads the burnt bank";
    }
}

TEST_F(FtdiPort, TheTriggerBlockGoesOutOnTxdAtTheLineRateAndTheBusCarriesOnAfterIt)
{
    ftdiemu::Adapter& adapter = add();
    adapter.board().chip(0x74)->setDacRegister(2, 0x123);
    port.setLineSettings(19200);
    EXPECT_THROW(port.setLineSettings(2500000), serial::PortError);
    port.open(1);
    port.write(QByteArray::fromHex("01000000"));
    EXPECT_EQ(adapter.board().transmitted().toHex(), "01000000");
    EXPECT_EQ(adapter.uartRate(), 19200);
    EXPECT_EQ(adapter.bitBangRate(), serial::FtdiSyncPort::kBitBangRate);
    EXPECT_EQ(bus::checkLines(port).health, bus::LineHealth::Ok);
    EXPECT_EQ(bus::readRegister(i2c, "0", "00010"), 0x123);
}

// What sigrok's I2C decoder reads off the trace of a start-up is what the chip was sent, acknowledges
// included.
TEST_F(FtdiPort, TheBusTraceDecodesToTheStartUpsTransactions)
{
    std::vector<int> codes;
    sim::SimulatedChip& chip = *add({Chip::FT232R, "A1B2C3", Chips::A0Low}).board().chip(0x74);
    for (int reg = 0; reg < 24; ++reg)
        chip.setDacRegister(reg, codes.emplace_back(codeOf(reg)));
    QTemporaryDir dir;
    port.open(1);
    {
        serial::TracingPort tracing(port, QFile::encodeName(dir.filePath("bus.vcd")));
        bus::I2cMaster traced(tracing);
        traced.probe(bus::writeAddress("0"));
        for (int reg = 0; reg <= 24; ++reg)
            reg < 24 ? bus::readRegister(traced, "0", bits(reg, 5)) : bus::readBankStatusWord(traced, "0");
        for (int reg = 0; reg < 24; ++reg)
            bus::writeDacRegister(traced, bits(codes[reg] & 0xFF, 8), bits(codes[reg] >> 8, 8),
                                  bus::writeAddress("0"), bits(reg, 8));
    }
    port.close();
    TearDown();
    emulator.reset(); // sigrok-cli is to see the real system, not the testbed
    QString error;
    EXPECT_EQ(sigrok::decodeI2c(dir.filePath("bus.vcd"), &error), sigrok::startupTransactions(codes))
        << error.toStdString();
}

TEST_F(FtdiPort, APulledAdapterFailsOnceAndThePortCloses)
{
    sim::SimulatedBoard& board = add().board();
    port.open(1);
    bus::readRegister(i2c, "0", "00001");
    // Into the read's first transfer: a pointer write takes about 230 wire requests, a read 350.
    board.setFaults({false, false, long(board.lineRequests()) + 300});
    try {
        bus::readRegister(i2c, "0", "00001");
        ADD_FAILURE() << "no failure";
    } catch (const serial::PortError& e) {
        EXPECT_EQ(e.kind(), PortFailure::Gone) << e.what();
    }
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(bus::readRegister(i2c, "0", "00001"), 65535) << "a silent bus, and no second failure";
}

TEST_F(FtdiPort, AnAdapterThatCannotBeHadIsRefusedSayingWhy)
{
    EXPECT_TRUE(openFails("ftdi://")->reason().contains("no FT232R or FT-X adapter is plugged in"));
    add();
    add({Chip::FT231X, "XB9"});
    add({Chip::FT232R, "HELD", Chips::Both, true});
    // path, then the failure and what its reason must name
    const QTemporaryDir scratch;
    const std::tuple<QString, PortFailure, QString> cases[] = {
        {scratch.path() + "/ttyUSB0", PortFailure::CannotUse, "not an FTDI adapter"},
        {"ftdi://", PortFailure::CannotUse, "3 adapters are plugged in (A1B2C3, XB9, HELD)"},
        {"ftdi://Q7", PortFailure::CannotUse, "no adapter has the serial Q7: plugged in: A1B2C3, XB9, HELD"},
        {"ftdi://HELD", PortFailure::AlreadyOpen, "held by another program"},
    };
    for (const auto& [path, kind, named] : cases) {
        const auto failure = openFails(path).value_or(serial::PortError(PortFailure::Io, path, "opened"));
        EXPECT_EQ(failure.kind(), kind) << failure.what();
        EXPECT_TRUE(failure.reason().contains(named)) << failure.what();
    }
    EXPECT_EQ(openFails("ftdi://XB9"), std::nullopt);
    EXPECT_EQ(port.description(), "FT-X XB9, synchronous bit-bang");

    // The node nobody's to open. Root may open anything: the test gives up root's rights meanwhile, and
    // lets that user into the testbed, where libusb's udev monitor binds a socket and umockdev connects
    // every open of the node, failed or not, to the handler's socket.
    const QString node = adapters.front()->usbNode();
    const std::pair<QString, mode_t> modes[] = {{"", 0777}, {"/ioctl" + node, 0666}, {node, 0}};
    for (const auto& [path, mode] : modes)
        ASSERT_EQ(::chmod(QFile::encodeName(emulator->rootDir() + path).constData(), mode), 0);
    const bool root = ::geteuid() == 0;
    ASSERT_TRUE(!root || ::seteuid(65534) == 0);
    const auto denied = openFails("ftdi://A1B2C3").value_or(serial::PortError(PortFailure::Io, "", "opened"));
    ASSERT_TRUE(!root || ::seteuid(0) == 0);
    EXPECT_EQ(denied.kind(), PortFailure::PermissionDenied) << denied.what();
    EXPECT_TRUE(denied.reason().contains("60-krm59340-ftdi.rules")) << denied.what();
}

// Listed from sysfs without opening anything; while the port holds an adapter, ftdi_sio lets go of it.
TEST_F(FtdiPort, AdaptersAreListedAndTheirTtysKnownAndTheKernelDriverComesBack)
{
    ftdiemu::Adapter& first = add();
    add({Chip::FT231X, ""});
    QStringList found;
    for (const serial::FtdiAdapter& a : serial::findFtdiAdapters())
        found << QStringList{a.chip(), a.product, a.url(), a.usbNode(), QFileInfo(a.tty).fileName(), a.busy}
                     .join(',');
    EXPECT_EQ(found, QStringList({"FT232R,FT232R USB UART,ftdi://A1B2C3,/dev/bus/usb/001/002,ttyUSB0,",
                                  "FT-X,FT231X USB UART,ftdi://,/dev/bus/usb/001/003,ttyUSB1,"}));
    EXPECT_EQ(first.traffic().control + first.traffic().bulkOut, 0) << "nothing opened";
    // By the tty's name, as sysfs knows it; a tty in a scratch folder stands in for the node.
    const QTemporaryDir scratch;
    EXPECT_EQ(serial::ftdiAdapterOfTty(scratch.path() + "/ttyUSB0").value_or(serial::FtdiAdapter{}).url(),
              "ftdi://A1B2C3");
    EXPECT_EQ(serial::ftdiAdapterOfTty(scratch.path() + "/ttyACM7"), std::nullopt);

    port.open(1);
    EXPECT_FALSE(first.driverBound());
    port.close();
    EXPECT_TRUE(first.driverBound());

    // A child process reaches the same adapters, as a test of krm59340-cli will (the child's half is below).
    QProcess child;
    first.board().chip(0x74)->setDacRegister(3, 677);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KRM_FTDI_CHILD", "1");
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=FtdiPortChild.*"});
    EXPECT_TRUE(child.waitForFinished() && child.readAllStandardOutput().contains("register 3: 677"))
        << child.readAllStandardError().toStdString();
}

TEST(FtdiPortChild, ReadsRegisterThree)
{
    if (qEnvironmentVariableIsEmpty("KRM_FTDI_CHILD"))
        GTEST_SKIP()
            << "the child's half of FtdiPort.AdaptersAreListedAndTheirTtysKnownAndTheKernelDriverComesBack";
    serial::PortCatalog catalog({{1, "ftdi://A1B2C3"}}, {});
    serial::FtdiSyncPort port(catalog);
    port.open(1);
    bus::I2cMaster i2c(port);
    std::printf("register 3: %d\n", int(bus::readRegister(i2c, "0", "00011")));
}

} // namespace
