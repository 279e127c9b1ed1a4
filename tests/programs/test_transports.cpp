// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// Both programs on the fast transports, as a user picks them: an FTDI cable in synchronous bit-bang and a
// kernel I2C adapter, each emulated under umockdev with the chip's model behind it. The command line runs as
// a child of the test, which reaches the same emulated adapters; the window runs in the test's process.
#include "programs/cli/cli_fixture.h"

#include "app/bench.h"
#include "engine/bus_thread.h"
#include "support/ftdi_emulator.h"
#include "support/i2c_emulator.h"
#include "ui/commands.h"
#include "ui/connection_line.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

// The codes the chip at 0x74 holds, and what a read of them prints.
const std::vector<int> kCodes = someCodes(37, 5);

void load(sim::SimulatedChip& chip)
{
    for (int reg = 0; reg < 24; ++reg)
        chip.setDacRegister(reg, kCodes[std::size_t(reg)]);
}

// The command line through an FTDI cable: every command, the trace, and the faults a cable meets.
TEST(FtdiCable, TheCommandLineRunsEveryCommandThroughItAndSaysWhatWentWrong)
{
    // Outside the command line's scratch folder, which goes with the testbed.
    const QTemporaryDir kept;
    const QString traceFile = kept.filePath("bus.vcd");
    QStringList decodedExpected;
    {
        ftdiemu::Emulator emulator;
        ftdiemu::AdapterSetup setup;
        setup.chips = sim::SimulatedBoard::Chips::A0Low;
        ftdiemu::Adapter& adapter = emulator.add(setup);
        load(*adapter.board().chip(0x74));
        CliFixture cli; // after the testbed: the child inherits it
        cli.writeSettings({{"vref_high0/10", "10"}});
        const QStringList port{"--port", "ftdi://A1B2C3", "--json"};

        // The adapter's tty, where the cable runs slowly, says where it runs fast.
        CliResult r = cli.run(port + QStringList{"ports"});
        EXPECT_EQ(r.status, 0) << r.err;
        const QJsonArray ports = r.json()["ports"].toArray();
        QJsonObject fast, slow;
        for (const QJsonValue& entry : ports)
            (entry["kind"] == "ftdi" ? fast : slow) = entry.toObject();
        expectJson(fast, "device=ftdi://A1B2C3, serial=A1B2C3, state=free, usb=1/2");
        EXPECT_TRUE(slow["adapter"].toString().contains("runs fast as COM")) << slow["adapter"].toString();

        r = cli.run(port + QStringList{"read"});
        ASSERT_EQ(r.status, 0) << r.err;
        expectJson(
            r.json(),
            QString("channels/#=24, channels/2/code=%1, channels/23/code=%2").arg(kCodes[2]).arg(kCodes[23]));

        r = cli.run(port + QStringList{"set", "3", "--code", "0x2A5"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(adapter.board().chip(0x74)->dacRegister(2), 0x2A5);
        r = cli.run(port + QStringList{"otp", "3", "--yes"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(adapter.board().chip(0x74)->bankStatus(), 1);
        r = cli.run(port + QStringList{"trigger"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(adapter.board().transmitted(), QByteArray("\x01\x00\x00\x00", 4));

        r = cli.run(
            QStringList{"--port", "ftdi://A1B2C3", "--bus-trace", traceFile, "set", "1", "--code", "7"});
        EXPECT_EQ(r.status, 0) << r.err;
        decodedExpected = traffic::probe(0x74) + traffic::dacWrites(0x74, {7});

        // The faults: a broken read-back, no chip at the address, the cable pulled in the middle of a read.
        const struct {
            const char* what;
            sim::SimulatedBoard::Faults faults;
            QStringList args;
            int status;
            const char* said;
        } faults[] = {
            {"read-back broken", {true, false, -1}, {"read"}, 2, "DSR is never asserted"},
            {"no chip at A0 = 1", {}, {"--a0", "1", "read"}, 3, "no chip answers at 0x75"},
            {"pulled", {false, false, long(adapter.board().lineRequests()) + 2000}, {"read"}, 2, "gone"},
        };
        for (const auto& f : faults) {
            SCOPED_TRACE(f.what);
            adapter.board().setFaults(f.faults);
            r = cli.run(QStringList{"--port", "ftdi://A1B2C3"} + f.args);
            EXPECT_EQ(r.status, f.status) << r.err;
            EXPECT_TRUE(r.err.contains(f.said)) << r.err;
        }
        EXPECT_TRUE(adapter.problems().isEmpty()) << adapter.problems().join('\n');
    }
    // Decoded once the testbed is gone, by sigrok-cli seeing the real system.
    QString error;
    EXPECT_EQ(sigrok::decodeI2c(traceFile, &error), decodedExpected) << error;
}

// The command line through a kernel I2C adapter: its acknowledges are real, and it has no transmit line for
// the trigger block (a trigger port takes it: the command line's tests).
TEST(KernelAdapter, TheCommandLineRunsThroughItAndTheBatchGoesOnWithoutATriggerBlock)
{
    i2cemu::I2cEmulator::Options options;
    options.chips = {0x74};
    i2cemu::I2cEmulator emulator(options);
    load(*emulator.chip(0x74));
    CliFixture cli;
    cli.writeSettings({{"vref_high0/10", "10"}});
    const QStringList port{"--port", emulator.devicePath()};

    CliResult r = cli.run(port + QStringList{"--json", "read"});
    ASSERT_EQ(r.status, 0) << r.err;
    expectJson(r.json(), QString("channels/5/code=%1").arg(kCodes[5]));
    r = cli.run(port + QStringList{"--json", "ports"});
    expectJson(r.json(), "ports/0/kind=i2c, ports/0/state=free, ports/0/device=" + emulator.devicePath());
    r = cli.run(port + QStringList{"set", "4", "--code", "321"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(emulator.chip(0x74)->dacRegister(3), 321);

    r = cli.run(port + QStringList{"trigger"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.contains("no transmit line")) << r.err;
    const QString file = cli.writeChannelFile("set.csv", "10", kCodes);
    r = cli.run(port + QStringList{"batch", file, file, "--cycles", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.count("no transmit line"), 1) << r.err;

    // A session's script as on the other ports: a command that fails is answered and the session goes on.
    r = cli.session(port + QStringList{"--json"}, {"set 4 --code 500 --verify", "trigger", "read 4"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines().size(), 3) << r.out.toStdString();
    expectJson(r.lines()[0], "ok=true, verified=true");
    expectJson(r.lines()[1], "ok=false, status=2");
    expectJson(r.lines()[2], "ok=true, channels/0/code=500");

    // No chip at the other address; the adapter gone in the middle of a read.
    r = cli.run(port + QStringList{"--a0", "1", "read"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(r.err.contains("no chip answers at 0x75")) << r.err;
    emulator.failAfter(10, ENODEV);
    r = cli.run(port + QStringList{"read"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.contains("gone")) << r.err;
}

// The window on each fast transport: the start-up reads the chip into the grid through it, and the
// connection line names the mode.
TEST(FastTransports, TheWindowStartsUpAndReadsTheChipThroughEach)
{
    const auto startUp = [](const QString& device, const QString& mode) {
        QTemporaryDir dir;
        const QString settings = dir.filePath("KRM72340.ini");
        {
            QSettings ini(settings, QSettings::IniFormat);
            ini.setValue("Ports/COM1", device);
            ini.setValue("PortNumb/2", "1");
            ini.setValue("BitRate/3", "9600");
            ini.setValue("vref_high0/10", "10");
        }
        auto bench = app::Bench::forSystem(settings, {}, dir.filePath("lock"));
        ui::MainWindow window(*bench);
        window.setEndProgram([] {});
        window.show();
        window.load();
        ui::Commands& commands = window.commands();
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return !commands.busy() && commands.bus().inFlight() == 0; }, 30000));
        EXPECT_EQ(window.codeBox(9)->text(), QString::number(kCodes[9], 16).toUpper());
        EXPECT_TRUE(window.connectionLine()->parts().join('\n').contains(mode))
            << window.connectionLine()->parts().join('\n');
        QTest::mouseClick(window.commandButton("Command5"), Qt::LeftButton);
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return !commands.busy() && commands.bus().inFlight() == 0; }, 30000));
        EXPECT_EQ(window.codeBox(23)->text(), QString::number(kCodes[23], 16).toUpper());
    };
    {
        ftdiemu::Emulator emulator;
        load(*emulator.add().board().chip(0x74));
        startUp("ftdi://A1B2C3", "FT232R A1B2C3, synchronous bit-bang");
    }
    {
        i2cemu::I2cEmulator emulator;
        load(*emulator.chip(0x74));
        startUp(emulator.devicePath(), "I2C adapter i2c-1");
    }
}

} // namespace
