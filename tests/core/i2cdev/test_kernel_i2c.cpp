// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// Runs under umockdev-wrapper: /dev/i2c-1 and its sysfs entry are the emulation's, in this process and in
// the i2c-tools programs it starts.
#include "bus/device.h"
#include "bus/i2c_master.h"
#include "i2cdev/adapter_list.h"
#include "i2cdev/kernel_i2c_bus.h"
#include "sim/simulated_board.h"
#include "support/i2c_emulator.h"
#include "support/qstring_printer.h"
#include "support/recording_port.h"
#include "support/scratch.h"
#include "support/sigrok_decode.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <grp.h>

namespace {

using serial::PortFailure;
using Action = std::function<void(bus::Master&)>;

// The code the fixtures put in a register of the chip at address.
int code(int address, int reg)
{
    return (address * 8 + reg * 37) & 0x3FF;
}

QString bits(int value)
{
    return QString::number(value & 0xFF, 2).rightJustified(8, QLatin1Char('0'));
}

// A message as "W e8 02 82 a5" (address byte, bytes written) or "R e9 +2" (how many bytes were read).
QString wireOf(int addressByte, const QByteArray& written, int read)
{
    QString entry = QStringLiteral("%1 %2").arg(addressByte & 1 ? 'R' : 'W').arg(addressByte, 2, 16);
    if (addressByte & 1)
        return entry + QStringLiteral(" +%1").arg(read);
    for (char byte : written)
        entry += QStringLiteral(" %1").arg(quint8(byte), 2, 16, QLatin1Char('0'));
    return entry;
}

// What the bus monitor lists: the observers' rows.
struct Rows : bus::BusObserver {
    QStringList rows;
    void starting(const bus::Transaction&) override {}
    void done(const bus::Transaction& t) override
    {
        rows << QStringLiteral("%1 %2%3%4")
                    .arg(int(t.kind))
                    .arg(QString::fromLatin1(t.bytes.toHex(' ')))
                    .arg(t.word ? QStringLiteral(" =%1").arg(*t.word, 0, 16) : QString())
                    .arg(t.acknowledged ? (*t.acknowledged ? " ack" : " nack") : "");
    }
};

// Both paths, with the same codes in the chips: the line-level master on the simulated board (its requests
// recorded) and the kernel bus on the emulated adapter.
struct Paths {
    explicit Paths(i2cemu::I2cEmulator::Options options = {}) : emulator(options)
    {
        board.open(1);
        for (int reg = 0; reg < 24; ++reg)
            for (int address : {0x74, 0x75}) {
                board.chip(address)->setDacRegister(reg, quint16(code(address, reg)));
                if (sim::SimulatedChip* chip = emulator.chip(address))
                    chip->setDacRegister(reg, quint16(code(address, reg)));
            }
        line.addObserver(&lineRows);
        kernel.addObserver(&kernelRows);
        kernel.open(emulator.devicePath());
    }
    // The wire as the master drove it, one entry a transaction.
    QStringList lineWire() const
    {
        QStringList out;
        for (const auto& frame : bustrace::decode(tap.requests)) {
            QByteArray written;
            for (std::size_t n = 1; n < frame.size(); ++n)
                written += char(frame[n]);
            out << wireOf(frame[0], written, int(frame.size()) - 1);
        }
        return out;
    }
    // The same from what the emulated adapter carried; the messages of one call are joined by " Sr ", the
    // repeated START between them.
    QStringList kernelWire() const
    {
        QStringList out;
        for (const auto& transaction : emulator.transactions()) {
            QStringList messages;
            for (const i2cemu::Message& m : transaction)
                messages << wireOf(m.addressByte, m.written, int(m.read.size()));
            out << messages.join(" Sr ");
        }
        return out;
    }

    i2cemu::I2cEmulator emulator;
    sim::SimulatedBoard board;
    RecordingPort tap{&board};
    bus::I2cMaster line{tap};
    Rows lineRows, kernelRows;
    i2cdev::KernelI2cBus kernel;
};

TEST(KernelI2c, DeviceTransfersPutTheLineLevelBytesOnTheBusAndTellTheSameRows)
{
    const std::pair<const char*, Action> cases[] = {
        {"register read, A0 low", [](auto& m) { bus::readRegister(m, "0", "00010"); }},
        {"register read, A0 high", [](auto& m) { bus::readRegister(m, "1", "10111"); }},
        {"bank status", [](auto& m) { bus::readBankStatusWord(m, "1"); }},
        {"DAC write",
         [](auto& m) { bus::writeDacRegister(m, "10100101", "00000010", "11101010", "00000010"); }},
        {"OTP burn",
         [](auto& m) { bus::programOtpRegister(m, "00001111", "00000001", "11101000", "00010111"); }},
        {"general call reset", [](auto& m) { bus::resetChip(m); }},
        {"probe", [](auto& m) { m.probe(bus::writeAddress("0")); }},
    };
    for (const auto& [what, run] : cases) {
        SCOPED_TRACE(what);
        Paths p;
        run(p.line);
        run(p.kernel);
        EXPECT_EQ(p.kernelWire(), p.lineWire());
        EXPECT_EQ(p.kernelRows.rows, p.lineRows.rows);
        EXPECT_EQ(p.kernel.readValue, p.line.readValue);
        EXPECT_EQ(p.emulator.chip(0x74)->memory().otp, p.board.chip(0x74)->memory().otp);
        EXPECT_EQ(p.emulator.chip(0x75)->memory().dac, p.board.chip(0x75)->memory().dac);
    }
}

TEST(KernelI2c, ReadDacReturnsTheChipsCodesAndBurnsChangeTheBanksAsOnTheBoard)
{
    Paths p;
    ASSERT_TRUE(p.kernel.probe(bus::writeAddress("1")));
    for (int reg = 0; reg < 24; ++reg)
        EXPECT_EQ(bus::readRegister(p.kernel, "1", bits(reg).right(5)), code(0x75, reg)) << reg;
    EXPECT_EQ(bus::readBankStatusWord(p.kernel, "1"), 0);
    EXPECT_EQ(p.emulator.transactions().size(), 1u + 50u);

    // Two rounds of burn and reset: the second opens the next bank as a copy of the first.
    bus::Master* const paths[] = {&p.line, &p.kernel};
    for (int round = 1; round <= 2; ++round)
        for (bus::Master* m : paths) {
            for (int reg = 0; reg < 24; reg += round)
                bus::programOtpRegister(*m, bits(reg * round), "00000001", bus::writeAddress("0"), bits(reg));
            bus::resetChip(*m);
            EXPECT_EQ(bus::readBankStatusWord(*m, "0"), round);
        }
    const sim::SimulatedChip::Memory board = p.board.chip(0x74)->memory(),
                                     kernel = p.emulator.chip(0x74)->memory();
    EXPECT_EQ(kernel.otp, board.otp);
    EXPECT_EQ(kernel.dac, board.dac);
    EXPECT_EQ(kernel.resets, 2);
    EXPECT_EQ(p.emulator.chip(0x75)->resets(), 2) << "the general call resets every chip";
}

TEST(KernelI2c, ProbesWithAQuickWriteOrElseAOneByteRead)
{
    // quick write offered, chips on the bus, then what the probe of 0x74 finds and puts on the wire
    const std::tuple<bool, std::vector<int>, bool, const char*> cases[] = {
        {true, {0x74}, true, "W e8"},
        {true, {0x75}, false, "W e8"},
        {false, {0x74}, true, "R e9 +1"},
        {false, {}, false, "R e9 +0"},
    };
    for (const auto& [quick, chips, found, wire] : cases) {
        SCOPED_TRACE(wire);
        i2cemu::I2cEmulator emulator({1, "CP2112", chips, true, quick});
        i2cdev::KernelI2cBus kernel;
        kernel.open(emulator.devicePath());
        EXPECT_EQ(kernel.probe(bus::writeAddress("0")), found);
        ASSERT_EQ(emulator.transactions().size(), 1u);
        const i2cemu::Message m = emulator.transactions()[0][0];
        EXPECT_EQ(wireOf(m.addressByte, m.written, int(m.read.size())), wire);
    }
}

TEST(KernelI2c, EveryFaultGivesOneErrorOfItsKind)
{
    constexpr int NotAcknowledged = -1, Io = int(PortFailure::Io), Gone = int(PortFailure::Gone);
    const Action write = [](auto& m) {
        bus::writeDacRegister(m, "11111111", "00000011", "11101000", "00000100");
    };
    const Action read = [](auto& m) { bus::readRegister(m, "0", "00100"); };
    const Action reset = [](auto& m) { bus::resetChip(m); };
    // the chips, the fault after how many transactions, what runs, then its first error
    const std::tuple<std::vector<int>, int, int, Action, int, const char*> cases[] = {
        {{}, -1, 0, write, NotAcknowledged, "no chip answers at 0x74 on i2c-1"},
        {{}, -1, 0, reset, NotAcknowledged, "no chip answers the general call on i2c-1"},
        {{0x74}, 0, EREMOTEIO, write, Io, "word write at 0x74 on i2c-1: a byte was not acknowledged"},
        {{0x74}, 1, EIO, read, Io, "word read at 0x74 on i2c-1: Input/output error"},
        {{0x74}, 0, EAGAIN, write, Io, "another master took the bus (arbitration lost)"},
        {{0x74}, 0, ETIMEDOUT, write, Io, "the adapter gave up waiting for the bus"},
        {{0x74}, 1, ENODEV, read, Gone, "word read at 0x74 on i2c-1: No such device"},
    };
    for (const auto& [chips, failAfter, error, run, kind, text] : cases) {
        SCOPED_TRACE(text);
        i2cemu::I2cEmulator emulator({1, "adapter", chips, true, true});
        emulator.failAfter(failAfter, error);
        i2cdev::KernelI2cBus kernel;
        kernel.open(emulator.devicePath());
        std::vector<std::pair<int, QString>> errors;
        for (int attempt = 0; attempt < 3; ++attempt) {
            try {
                run(kernel);
            } catch (const bus::NotAcknowledged& e) {
                errors.emplace_back(NotAcknowledged, e.text());
            } catch (const serial::PortError& e) {
                errors.emplace_back(int(e.kind()), e.text());
            }
        }
        // A vanished adapter is reported once and the bus closes; every other fault stays a fault.
        ASSERT_EQ(errors.size(), kind == Gone ? 1u : 3u);
        EXPECT_EQ(errors[0].first, kind);
        EXPECT_TRUE(errors[0].second.contains(text)) << errors[0].second.toStdString();
        EXPECT_EQ(kernel.isOpen(), kind != Gone);
        if (sim::SimulatedChip* chip = emulator.chip(0x74)) {
            EXPECT_EQ(chip->dacRegister(4), 0) << "a refused write reaches no register";
        }
    }
}

TEST(KernelI2c, OpenTellsWhatTheAdapterIsOrWhyItCannotBeUsed)
{
    {
        i2cemu::I2cEmulator emulator;
        i2cdev::KernelI2cBus kernel;
        kernel.open(emulator.devicePath());
        EXPECT_EQ(kernel.description(), "I2C adapter i2c-1 (krm59340 emulated adapter): kernel driver");
        const bus::LineCheck check = kernel.checkLines();
        EXPECT_EQ(check.health, bus::LineHealth::ByAdapter);
        EXPECT_TRUE(check.usable());
        const QList<i2cdev::Adapter> adapters = i2cdev::listAdapters();
        ASSERT_EQ(adapters.size(), 1);
        EXPECT_EQ(adapters[0].path, "/dev/i2c-1");
        EXPECT_EQ(adapters[0].name, "krm59340 emulated adapter");
        EXPECT_TRUE(adapters[0].usable);
        kernel.close();
        EXPECT_EQ(kernel.checkLines().health, bus::LineHealth::Unchecked);
    }
    QTemporaryDir dir;
    const QString notAdapter = dir.filePath("i2c-4");
    scratch::Folder::write(QFile::encodeName(notAdapter), "");
    i2cemu::I2cEmulator smbusOnly({1, "SMBus only", {0x74}, false, true});
    const std::pair<QString, const char*> refusals[] = {
        {smbusOnly.devicePath(), "(I2C_FUNC_I2C)"},
        {notAdapter, "not an I2C adapter"},
        {dir.filePath("i2c-5"), "No such file or directory"},
    };
    for (const auto& [path, why] : refusals) {
        i2cdev::KernelI2cBus kernel;
        try {
            kernel.open(path);
            ADD_FAILURE() << path.toStdString() << " opened";
        } catch (const serial::PortError& e) {
            EXPECT_EQ(e.kind(), PortFailure::CannotUse);
            EXPECT_TRUE(e.reason().contains(why)) << e.text().toStdString();
        }
        EXPECT_FALSE(kernel.isOpen());
    }
}

// Debian's i2c-tools gives the nodes to group i2c, mode 0660: a user outside it is told to join it.
TEST(KernelI2c, AUserWithoutTheRightIsToldWhichGroupToJoin)
{
    const group* i2c = ::getgrnam("i2c");
    if (!scratch::root() || !i2c)
        GTEST_SKIP() << "needs root and group i2c (i2c-tools) to try the node as another user";
    i2cemu::I2cEmulator emulator;
    emulator.openToEveryUser();
    const QByteArray node = emulator.nodeFile();
    ASSERT_EQ(::chown(node.constData(), 0, i2c->gr_gid), 0);
    ASSERT_EQ(::chmod(node.constData(), 0660), 0);
    const QString seen = scratch::inChild([&] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            return QStringLiteral("<no setuid>");
        const QList<i2cdev::Adapter> adapters = i2cdev::listAdapters();
        QString out =
            adapters.size() == 1 && !adapters[0].usable ? adapters[0].group : QStringLiteral("<listed>");
        try {
            i2cdev::KernelI2cBus().open(emulator.devicePath());
        } catch (const serial::PortError& e) {
            out += QStringLiteral(" %1 %2").arg(int(e.kind())).arg(e.reason());
        }
        return out;
    });
    EXPECT_EQ(seen, QStringLiteral("i2c %1 Permission denied: /dev/i2c-1 belongs to group i2c; join it (sudo "
                                   "adduser $USER i2c) and log in again")
                        .arg(int(PortFailure::PermissionDenied)));
}

QString run(const QString& tool, const QStringList& arguments)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStandardPaths::findExecutable(tool, {"/usr/sbin", "/sbin", "/usr/bin"}), arguments);
    if (!child.waitForFinished(30000) || child.exitCode() != 0)
        return QStringLiteral("<%1 failed> ").arg(tool) + QString::fromLocal8Bit(child.readAll());
    return QString::fromLocal8Bit(child.readAll()).trimmed();
}

// i2c-tools, programs of their own under the same testbed, are an independent check of the emulation, and
// they talk to the same chips as this process.
TEST(KernelI2c, I2cToolsRunAsChildrenAgainstTheEmulatedAdapter)
{
    i2cemu::I2cEmulator emulator;
    emulator.chip(0x74)->setDacRegister(3, 0x123);
    emulator.chip(0x74)->setDacRegister(7, 0x2BC);
    EXPECT_TRUE(run("i2cdetect", {"-y", "1"}).contains("70: -- -- -- -- 74 75 -- --"));
    EXPECT_TRUE(run("i2cdetect", {"-l"}).startsWith("i2c-1\ti2c       \tkrm59340 emulated adapter"));
    EXPECT_EQ(run("i2ctransfer", {"-y", "1", "w1@0x74", "0x03"}), "");
    EXPECT_EQ(run("i2ctransfer", {"-y", "1", "r2@0x74"}), "0x01 0x23");
    EXPECT_EQ(run("i2ctransfer", {"-y", "1", "w1@0x74", "0x07", "r2@0x74"}), "0x02 0xbc") << "repeated START";
    EXPECT_EQ(run("i2ctransfer", {"-y", "1", "w3@0x75", "0x05", "0x82", "0xa5"}), "");
    EXPECT_EQ(emulator.chip(0x75)->dacRegister(5), 0x2A5);
    i2cdev::KernelI2cBus kernel;
    kernel.open(emulator.devicePath());
    EXPECT_EQ(bus::readRegister(kernel, "1", "00101"), 0x2A5);
}

// The start-up as a logic analyser would decode it from the wires: every byte and acknowledge.
TEST(KernelI2c, TheTraceDecodesToTheTransactionsAsTheAdapterReportedThem)
{
    i2cemu::I2cEmulator emulator({1, "adapter", {0x74}, true, true});
    std::vector<int> codes;
    for (int reg = 0; reg < 24; ++reg)
        emulator.chip(0x74)->setDacRegister(reg, quint16(codes.emplace_back(reg * 41 + 7)));
    QTemporaryDir dir;
    const QString vcd = dir.filePath("bus.vcd");
    serial::BusTrace file(QFile::encodeName(vcd));
    i2cdev::TransactionTrace trace(file);
    i2cdev::KernelI2cBus kernel;
    kernel.open(emulator.devicePath());
    kernel.setTrace(&trace);
    kernel.probe(bus::writeAddress("0"));
    for (int reg = 0; reg < 24; ++reg)
        bus::readRegister(kernel, "0", bits(reg).right(5));
    bus::readBankStatusWord(kernel, "0");
    for (int reg = 0; reg < 24; ++reg)
        bus::writeDacRegister(kernel, bits(codes[reg]), bits(codes[reg] >> 8), bus::writeAddress("0"),
                              bits(reg));
    QStringList expected = sigrok::startupTransactions(codes);
    // A failure the adapter does not place on the wires is left out; a probe nobody answers shows its NACK.
    emulator.failAfter(0, EIO);
    EXPECT_THROW(bus::resetChip(kernel), serial::PortError);
    emulator.failAfter(-1, 0);
    EXPECT_FALSE(kernel.probe(bus::writeAddress("1")));
    expected << "Start"
             << "Address write: 75"
             << "NACK"
             << "Stop";
    EXPECT_FALSE(trace.failure());

    QString error;
    EXPECT_EQ(sigrok::decodeI2c(vcd, &error), expected) << error.toStdString();
    const QByteArray dump = scratch::Folder::read(QFile::encodeName(vcd));
    EXPECT_TRUE(dump.startsWith("$comment\n") &&
                dump.contains("drawn\n  from the transactions the adapter reported"))
        << dump.left(300).data();
}

} // namespace
