// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// krm59340-cli through the real POSIX port: a pseudo-terminal whose modem lines the modem shim, preloaded
// into the program, serves from a simulated board whose chips' memory carries from run to run.
#include "programs/cli/cli_fixture.h"
#include "support/pty_board.h"

#include <QRegularExpression>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

class CliThroughRealPort : public ::testing::Test {
protected:
    CliThroughRealPort()
    {
        for (int reg = 0; reg < 24; ++reg)
            config.codes[0][reg] = static_cast<unsigned short>(codes[reg]);
    }
    // The program runs on this board, with the memory it left last time.
    void attach(const krm_shim_config& wired) { cli.useEnvironment(board.childEnvironment(wired, state)); }
    std::vector<int> registers()
    {
        board.loadState(state);
        std::vector<int> out;
        for (int reg = 0; reg < 24; ++reg)
            out.push_back(krm_shim_dac_register(0x74, reg));
        return out;
    }

    CliFixture cli;
    QString state = cli.path("board.state");
    PtyBoard board;
    const std::vector<int> codes = someCodes(97, 5);
    krm_shim_config config = krm_shim_default_config();
};

TEST_F(CliThroughRealPort, AScriptsSessionWithTheWindowsSettings)
{
    attach(config);
    cli.writeSettings({{"Ports/COM3", board.slave()}, {"PortNumb/2", "3"}, {"vref_high0/10", "10"}});
    const QByteArray settings = readAll(cli.settingsFile());

    // The port and the reference come from the window's settings.
    CliResult r = cli.run({"--json", "read"});
    ASSERT_EQ(r.status, 0) << r.err;
    const QJsonObject json = r.json();
    expectJson(json, "port=COM3, device=" + board.slave() + ", simulated=false, channels/#=24");
    for (int n = 0; n < 24; ++n)
        EXPECT_EQ(json["channels"][n]["volts"], codes[n] * 10.0 / 1024) << "channel " << n + 1;

    // A device path names the same port the settings map. The trace of a real port reads DSR after every
    // change, so the decoder sees the chip's acknowledges.
    const std::vector<int> fileCodes = someCodes(40, 3);
    const QString file = cli.writeChannelFile("set.csv", "4.096", fileCodes), trace = cli.path("load.vcd");
    r = cli.run({"--port", board.slave(), "--json", "--bus-trace", trace, "load", file});
    ASSERT_EQ(r.status, 0) << r.err;
    expectJson(r.json(), "port=COM3");
    EXPECT_EQ(traffic::decode(trace), traffic::probe(0x74) + traffic::dacWrites(0x74, fileCodes));
    EXPECT_EQ(registers(), fileCodes);

    ASSERT_EQ(cli.run({"trigger"}).status, 0);
    pollfd ready{board.master(), POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 5000), 1);
    char sent[8];
    EXPECT_EQ(QByteArray(sent, int(::read(board.master(), sent, sizeof sent))), QByteArray("\x01\0\0\0", 4));

    EXPECT_EQ(readAll(cli.settingsFile()), settings) << "the settings are the window's: never written";
    EXPECT_TRUE(QDir(cli.lockDir()).isEmpty()) << "a lock file was left behind";
}

TEST_F(CliThroughRealPort, WhatLiesBetweenTheProgramAndTheChipDecidesTheExitStatus)
{
    const QStringList setAll = {"--vref", "10", "set", "all", "5"};
    const struct {
        krm_shim_dsr dsr;
        krm_shim_chips chips;
        QStringList args;
        int status;
        QString said; // a pattern
    } cases[] = {
        {KRM_SHIM_DSR_DEAD, KRM_SHIM_CHIPS_BOTH, setAll, 2,
         "line check.*read-back does not follow.*Nothing was sent"},
        {KRM_SHIM_DSR_STUCK, KRM_SHIM_CHIPS_BOTH, {"read"}, 2, "line check.*SDA stays low"},
        {KRM_SHIM_DSR_ON_SCL, KRM_SHIM_CHIPS_BOTH, setAll, 2,
         "line check: the read-back follows SCL, not SDA. Check the DSR wire.*Nothing was sent"},
        {KRM_SHIM_DSR_WIRED, KRM_SHIM_CHIPS_NONE, setAll, 3, "no chip answers at 0x74 \\(A0 = 0\\)"},
        {KRM_SHIM_DSR_WIRED, KRM_SHIM_CHIP_75, {"probe"}, 3, "no chip answers at 0x74"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said.toStdString());
        QFile::remove(state);
        krm_shim_config wired = config;
        wired.dsr = c.dsr;
        wired.chips = c.chips;
        attach(wired);
        const CliResult r = cli.run(QStringList{"--port", board.slave()} + c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err.count('\n'), 1) << r.err;
        EXPECT_TRUE(r.err.contains(QRegularExpression(c.said))) << r.err;
        EXPECT_TRUE(r.err.contains(board.slave())) << r.err;
        if (c.chips == KRM_SHIM_CHIPS_BOTH) {
            EXPECT_EQ(registers(), codes) << "nothing was written";
        }
    }
}

// A port that cannot carry the bus is refused naming why, never taken for one without a chip: a pty without
// the shim refuses its modem lines as a tty without modem control does, and the system console is never
// opened (here a pty the stand-in device tree names the console).
TEST_F(CliThroughRealPort, APortWithoutModemLinesOrTheConsoleIsRefusedByName)
{
    const QString sys = cli.path("sys");
    struct stat slave {};
    ASSERT_EQ(::stat(QFile::encodeName(board.slave()).constData(), &slave), 0);
    ASSERT_TRUE(QDir().mkpath(sys + "/class/tty/console") && QDir().mkpath(sys + "/class/tty/ttyS9"));
    const auto write = [](const QString& path, const QByteArray& text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    };
    write(sys + "/class/tty/console/active", "tty0 ttyS9\n");
    const QByteArray number =
        QByteArray::number(major(slave.st_rdev)) + ':' + QByteArray::number(minor(slave.st_rdev));

    const struct {
        QByteArray consoleDev; // the device number the stand-in tree gives ttyS9
        QStringList args;
        QString said; // a pattern
    } cases[] = {
        {"4:73",
         {"--vref", "10", "set", "all", "5"},
         "cannot set its modem lines: Inappropriate ioctl.*Nothing was sent"},
        {"4:73", {"probe"}, "cannot set its modem lines"},
        {number, {"read"}, "is the system console \\(ttyS9\\), never a bench port"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said.toStdString());
        write(sys + "/class/tty/ttyS9/dev", c.consoleDev + "\n");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KRM59340_SYSFS_ROOT", sys);
        cli.useEnvironment(env); // no shim: the pty's own modem-line requests
        const CliResult r = cli.run(QStringList{"--port", board.slave()} + c.args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.err.count('\n'), 1) << r.err;
        EXPECT_TRUE(r.err.contains(QRegularExpression(c.said))) << r.err;
        EXPECT_TRUE(r.err.contains(board.slave())) << r.err;
    }
    const CliResult listed = cli.run({"--port", board.slave(), "--json", "ports"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    expectJson(listed.json(), "ports/0/device=" + board.slave() + ", ports/0/state=console");
}

TEST_F(CliThroughRealPort, ABusyPortIsRefusedNamingItsHolder)
{
    attach(config);
    // As minicom holds a port: its UUCP lock, here with this (live) process as the owner.
    const QString lock = QDir(cli.lockDir()).filePath("LCK.." + QFileInfo(board.slave()).fileName());
    QFile file(lock);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + "\n");
    file.close();

    const CliResult r = cli.run({"--port", board.slave(), "--vref", "10", "set", "1", "5"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.contains("in use by") && r.err.contains(QStringLiteral("process %1").arg(::getpid())))
        << r.err;
    const auto listed = [&] {
        for (const QJsonValue& port :
             cli.run({"--port", board.slave(), "--json", "ports"}).json()["ports"].toArray())
            if (port["device"] == board.slave())
                return port.toObject();
        return QJsonObject();
    };
    const QJsonObject port = listed();
    EXPECT_EQ(port["state"], "in use");
    EXPECT_EQ(port["holder"]["pid"], ::getpid());
    EXPECT_TRUE(QFile::exists(lock)) << "another program's lock is not ours to remove";
    EXPECT_EQ(registers(), codes);
    QFile::remove(lock);
    EXPECT_EQ(listed()["state"], "free");
}

// The adapter pulled in the middle of setting every channel: the message names the channels the chip has
// and the write that was cut off, and the chip holds exactly those.
TEST_F(CliThroughRealPort, AnAdapterPulledHalfWayNamesTheChannelsWritten)
{
    // The line requests of the whole command, counted on the simulated board: one trace step each.
    const QString counted = cli.path("count.vcd");
    ASSERT_EQ(cli.run({"--simulate", "--vref", "10", "--bus-trace", counted, "set", "all", "5"}).status, 0);
    const long requests = readAll(counted).split('#').constLast().split('\n').constFirst().toLong();
    ASSERT_GT(requests, 2000);

    // The two releases after the open, then about halfway through the writes.
    config.gone_after = 2 + requests * 6 / 10;
    attach(config);
    const CliResult r = cli.run({"--port", board.slave(), "--vref", "10", "set", "all", "5"});
    EXPECT_EQ(r.status, 2);
    const QRegularExpression said(
        "adapter is gone.*channels 1-(\\d+) were written; the write of channel (\\d+)");
    const auto match = said.match(r.err);
    ASSERT_TRUE(match.hasMatch()) << r.err;
    const int written = match.captured(1).toInt();
    EXPECT_EQ(match.captured(2).toInt(), written + 1);
    std::vector<int> expected = codes, after = registers();
    std::fill_n(expected.begin(), written, 512);
    after[written] = expected[written]; // the write cut off may or may not have landed
    EXPECT_EQ(after, expected);
}

// One script, unchanged, on the real port and on the simulated board that keeps its state: the same answers.
// Through the real port the session opens once: 50 commands leave one probe on the bus and then only their
// own traffic, and the chip holds what they set.
TEST_F(CliThroughRealPort, ASessionScriptRunsUnchangedOnThePortAndOnTheRehearsalBoard)
{
    QStringList script;
    std::vector<int> expected = codes;
    QStringList traffic = traffic::probe(0x74);
    for (int step = 0; step < 25; ++step) {
        const int channel = step % 24 + 1, code = (step * 37 + 11) % 1024;
        script << QString("set %1 --code %2 --verify").arg(channel).arg(code)
               << QString("read %1").arg(channel);
        expected[channel - 1] = code;
        traffic += traffic::dacWrites(0x74, {code}, channel) + traffic::read(0x74, channel - 1, code) +
                   traffic::read(0x74, channel - 1, code);
    }
    const QString state = cli.path("rehearsal.ini"), trace = cli.path("session.vcd");
    // The rehearsal board starts as the real one: the same registers.
    QStringList prepare;
    for (int n = 0; n < 24; ++n)
        prepare << QString("set %1 --code %2").arg(n + 1).arg(codes[n]);
    ASSERT_EQ(cli.session({"--simulate", "--state", state}, prepare).status, 0);
    const CliResult rehearsed = cli.session({"--simulate", "--state", state, "--json"}, script);

    attach(config);
    const CliResult r = cli.session({"--port", board.slave(), "--json", "--bus-trace", trace}, script);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines().size(), 50);
    ASSERT_EQ(rehearsed.lines().size(), 50);
    for (int i = 0; i < 50; ++i) {
        SCOPED_TRACE(script[i].toStdString());
        EXPECT_EQ(r.lines()[i]["ok"], true);
        EXPECT_EQ(r.lines()[i]["channels"], rehearsed.lines()[i]["channels"]);
    }
    EXPECT_EQ(traffic::decode(trace), traffic);
    EXPECT_EQ(registers(), expected);
}

// A --json batch prints each file's line as it is applied: when the adapter is pulled in the third file,
// the two lines before it are out, and a last one names the failure and the channels the chip took.
TEST_F(CliThroughRealPort, ABatchThatFailsAfterTwoFilesHasPrintedTwoLinesAndTheFailure)
{
    const QString file = cli.writeChannelFile("step.csv", "10", someCodes(3, 100));
    const auto requests = [&](int files) {
        const QString counted = cli.path("count.vcd");
        EXPECT_EQ(
            cli.run(QStringList{"--simulate", "--bus-trace", counted, "batch"} + QStringList(files, file))
                .status,
            0);
        return readAll(counted).split('#').constLast().split('\n').constFirst().toLong();
    };
    const long two = requests(2), three = requests(3);
    config.gone_after = 2 + (two + three) / 2;
    attach(config);
    const CliResult r = cli.run({"--port", board.slave(), "--json", "batch", file, file, file});
    EXPECT_EQ(r.status, 2) << r.err;
    const QList<QJsonObject> lines = r.lines();
    ASSERT_EQ(lines.size(), 3) << r.out.toStdString();
    expectJson(lines[0], "cycle=1, file=" + file);
    expectJson(lines[1], "cycle=1, file=" + file);
    expectJson(lines[2], "end=failed, status=2, written/0=1");
    EXPECT_TRUE(lines[2]["error"].toString().contains("adapter is gone")) << lines[2]["error"].toString();
    const int written = int(lines[2]["written"].toArray().size());
    EXPECT_GT(written, 0);
    EXPECT_LT(written, 24);
}

// A failed command is answered and the session goes on, but an adapter pulled ends it: nothing after could
// reach the chip.
TEST_F(CliThroughRealPort, AnAdapterPulledEndsASession)
{
    const QString counted = cli.path("count.vcd");
    ASSERT_EQ(cli.run({"--simulate", "--bus-trace", counted, "read", "1"}).status, 0);
    const long requests = readAll(counted).split('#').constLast().split('\n').constFirst().toLong();
    config.gone_after = 2 + requests + 200;
    attach(config);
    const CliResult r =
        cli.session({"--port", board.slave(), "--json"}, {"read 1", "set 25 1", "read", "read 2", "read 3"});
    EXPECT_EQ(r.status, 2) << r.err;
    const QList<QJsonObject> lines = r.lines();
    ASSERT_EQ(lines.size(), 3) << r.out.toStdString();
    expectJson(lines[0], "ok=true");
    expectJson(lines[1], "ok=false, status=1");
    expectJson(lines[2], "ok=false, status=2, command=read");
    EXPECT_TRUE(lines[2]["error"].toString().contains("adapter is gone")) << lines[2]["error"].toString();
    EXPECT_TRUE(r.err.contains("the port is gone")) << r.err;
}

// The trigger block goes to the serial port named for it, not to the bus port's transmit line (a kernel I2C
// adapter has none): here a pty, whose other end reads it.
TEST(CliTriggerPort, TheBlockGoesToThePortNamedForIt)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    CliFixture cli;
    const CliResult r =
        cli.run({"--simulate", "--trigger-port", QString::fromLocal8Bit(::ptsname(master)), "trigger"});
    EXPECT_EQ(r.status, 0) << r.err;
    char block[8] = {};
    pollfd ready{master, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 5000), 1);
    EXPECT_EQ(QByteArray(block, int(::read(master, block, sizeof block))), QByteArray("\x01\x00\x00\x00", 4));
    ::close(master);
}

} // namespace
