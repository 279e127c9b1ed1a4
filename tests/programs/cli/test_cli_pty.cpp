// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// krm59340-cli through the real POSIX port: a pseudo-terminal whose modem lines the modem shim, preloaded
// into the program, serves from a simulated board whose chips' memory carries from run to run.
#include "programs/cli/cli_fixture.h"
#include "support/pty_board.h"

#include <QJsonArray>
#include <QRegularExpression>

#include <functional>
#include <poll.h>
#include <unistd.h>

namespace {

std::vector<int> boardCodes()
{
    std::vector<int> codes;
    for (int reg = 0; reg < 24; ++reg)
        codes.push_back((reg * 97 + 5) % 1024);
    return codes;
}

krm_shim_config withCodes(const std::vector<int>& codes)
{
    krm_shim_config config = krm_shim_default_config();
    for (int reg = 0; reg < 24; ++reg)
        config.codes[0][reg] = static_cast<unsigned short>(codes[reg]);
    return config;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What the program wrote to the transmit line, as the far end of the pty receives it.
QByteArray received(int master, int count)
{
    QByteArray bytes;
    while (bytes.size() < count) {
        pollfd ready{master, POLLIN, 0};
        if (::poll(&ready, 1, 5000) <= 0)
            break;
        char buffer[64];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        bytes.append(buffer, int(n));
    }
    return bytes;
}

class CliThroughRealPort : public ::testing::Test {
protected:
    // The program runs on this board, with the memory it left last time.
    void attach(const krm_shim_config& config) { cli.useEnvironment(board.childEnvironment(config, state)); }
    std::vector<int> registers()
    {
        board.loadState(state);
        std::vector<int> codes;
        for (int reg = 0; reg < 24; ++reg)
            codes.push_back(krm_shim_dac_register(0x74, reg));
        return codes;
    }

    CliFixture cli;
    QString state = cli.path("board.state");
    PtyBoard board;
};

TEST_F(CliThroughRealPort, AScriptsSessionWithTheWindowsSettings)
{
    std::vector<int> codes = boardCodes();
    attach(withCodes(codes));
    cli.writeSettings({{"Ports/COM3", board.slave()},
                       {"PortNumb/2", "3"},
                       {"BitRate/3", "9600"},
                       {"vref_high0/10", "10"},
                       {"a0/1", "0"}});
    const QByteArray settings = readAll(cli.settingsFile());

    // The port, the reference and A0 come from the window's settings.
    CliResult r = cli.run({"--json", "read"});
    ASSERT_EQ(r.status, 0) << r.err;
    QJsonObject json = r.json();
    EXPECT_EQ(json["port"].toString(), "COM3");
    EXPECT_EQ(json["device"].toString(), board.slave());
    EXPECT_FALSE(json["simulated"].toBool());
    const QJsonArray channels = json["channels"].toArray();
    ASSERT_EQ(channels.size(), 24);
    for (int n = 1; n <= 24; ++n) {
        EXPECT_EQ(channels[n - 1].toObject()["code"].toInt(), codes[n - 1]);
        EXPECT_DOUBLE_EQ(channels[n - 1].toObject()["volts"].toDouble(), codes[n - 1] * 10.0 / 1024);
    }

    // The trace of a real port reads DSR after every change, so the decoder sees the chip's acknowledges.
    const QString trace = cli.path("set.vcd");
    r = cli.run({"--json", "--bus-trace", trace, "set", "5", "2.5"});
    ASSERT_EQ(r.status, 0) << r.err;
    codes[4] = 256;
    EXPECT_EQ(traffic::decode(trace), traffic::probe(0x74) + traffic::dacWrite(0x74, 5, 256));
    EXPECT_EQ(registers(), codes);

    // A device path names the same port the settings map.
    std::vector<int> fileCodes(24);
    for (int n = 0; n < 24; ++n)
        fileCodes[n] = 1023 - 40 * n;
    const QString file = cli.writeChannelFile("set.csv", "4.096", fileCodes);
    r = cli.run({"--port", board.slave(), "--json", "load", file});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.json()["port"].toString(), "COM3");
    EXPECT_EQ(registers(), fileCodes);

    r = cli.run({"save", cli.path("back.csv")});
    ASSERT_EQ(r.status, 0) << r.err;
    QByteArray expected = "10\r\n";
    for (int code : fileCodes)
        expected += QByteArray::number(code) + "\r\n";
    EXPECT_EQ(readAll(cli.path("back.csv")), expected);

    r = cli.run({"--json", "otp", "2", "--yes"});
    ASSERT_EQ(r.status, 0) << r.err;
    json = r.json();
    EXPECT_EQ(json["bank_status"].toInt(), 1);
    EXPECT_EQ(json["burnt"].toArray()[0].toObject()["code"].toInt(), fileCodes[1]);
    registers();
    EXPECT_EQ(krm_shim_bank_status(0x74), 1);

    r = cli.run({"trigger"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(received(board.master(), 4), QByteArray("\x01\x00\x00\x00", 4));

    EXPECT_EQ(readAll(cli.settingsFile()), settings) << "the settings are the window's: never written";
    EXPECT_TRUE(QDir(cli.lockDir()).isEmpty()) << "a lock file was left behind";
}

TEST_F(CliThroughRealPort, WhatLiesBetweenTheProgramAndTheChipDecidesTheExitStatus)
{
    const struct {
        const char* what;
        std::function<void(krm_shim_config&)> wire;
        QStringList args;
        int status;
        QStringList said;
        std::function<void(const CliResult&)> check;
    } cases[] = {
        {"broken read-back",
         [](krm_shim_config& c) { c.dsr = KRM_SHIM_DSR_DEAD; },
         {"--vref", "10", "set", "all", "5"},
         2,
         {"line check", "read-back does not follow", "Nothing was sent"},
         {}},
        {"SDA stuck low",
         [](krm_shim_config& c) { c.dsr = KRM_SHIM_DSR_STUCK; },
         {"read"},
         2,
         {"line check", "SDA stays low"},
         {}},
        {"no chip",
         [](krm_shim_config& c) { c.chips = KRM_SHIM_CHIPS_NONE; },
         {"--vref", "10", "set", "all", "5"},
         3,
         {"no chip answers at 0x74 (A0 = 0)"},
         {}},
        {"the chip at the other address",
         [](krm_shim_config& c) { c.chips = KRM_SHIM_CHIP_75; },
         {"--json", "probe"},
         3,
         {"no chip answers at 0x74"},
         [](const CliResult& r) {
             const QJsonArray chips = r.json()["chips"].toArray();
             ASSERT_EQ(chips.size(), 2);
             EXPECT_FALSE(chips[0].toObject()["answers"].toBool());
             EXPECT_TRUE(chips[1].toObject()["answers"].toBool());
         }},
        {"a chip left mid-read",
         [](krm_shim_config& c) { c.stranded = 0x74; },
         {"--json", "probe"},
         0,
         {},
         [](const CliResult& r) {
             EXPECT_TRUE(r.json()["lines"].toString().contains("clock pulses freed it"));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(state);
        krm_shim_config config = withCodes(boardCodes());
        c.wire(config);
        attach(config);
        const CliResult r = cli.run(QStringList{"--port", board.slave()} + c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err.count('\n'), c.said.isEmpty() ? 0 : 1) << r.err;
        for (const QString& part : c.said)
            EXPECT_TRUE(r.err.contains(part)) << r.err;
        if (c.status == 2) {
            EXPECT_TRUE(r.err.contains(board.slave())) << r.err;
        }
        if (c.check)
            c.check(r);
        if (config.chips != KRM_SHIM_CHIPS_NONE && config.chips != KRM_SHIM_CHIP_75) {
            EXPECT_EQ(registers(), boardCodes()) << "nothing was written";
        }
    }
}

TEST_F(CliThroughRealPort, ABusyPortIsRefusedNamingItsHolder)
{
    attach(withCodes(boardCodes()));
    // As minicom holds a port: its UUCP lock, here with this (live) process as the owner.
    const QString lock = QDir(cli.lockDir()).filePath("LCK.." + QFileInfo(board.slave()).fileName());
    QFile file(lock);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + "\n");
    file.close();
    const QString holder = QStringLiteral("process %1").arg(::getpid());

    CliResult r = cli.run({"--port", board.slave(), "--vref", "10", "set", "1", "5"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.contains("in use by") && r.err.contains(holder)) << r.err;

    r = cli.run({"--port", board.slave(), "--json", "ports"});
    ASSERT_EQ(r.status, 0) << r.err;
    bool listed = false;
    for (const QJsonValue& value : r.json()["ports"].toArray()) {
        const QJsonObject port = value.toObject();
        if (port["device"].toString() != board.slave())
            continue;
        listed = true;
        EXPECT_EQ(port["state"].toString(), "in use");
        EXPECT_EQ(port["holder"].toObject()["pid"].toInteger(), ::getpid());
        EXPECT_TRUE(port["selected"].toBool());
    }
    EXPECT_TRUE(listed) << r.out.toStdString();
    EXPECT_TRUE(QFile::exists(lock)) << "another program's lock is not ours to remove";
    EXPECT_EQ(registers(), boardCodes());

    QFile::remove(lock);
    r = cli.run({"--port", board.slave(), "--json", "ports"});
    for (const QJsonValue& value : r.json()["ports"].toArray()) {
        if (value.toObject()["device"].toString() == board.slave()) {
            EXPECT_EQ(value.toObject()["state"].toString(), "free");
        }
    }
}

// The adapter pulled in the middle of setting every channel: the message names the channels the chip has
// and the write that was cut off, and the chip holds exactly those.
TEST_F(CliThroughRealPort, AnAdapterPulledHalfWayNamesTheChannelsWritten)
{
    // The line requests of the whole command, counted on the simulated board: one trace step each.
    const QString counted = cli.path("count.vcd");
    ASSERT_EQ(cli.run({"--simulate", "--vref", "10", "--bus-trace", counted, "set", "all", "5"}).status, 0);
    const QList<QByteArray> steps = readAll(counted).split('#');
    const long requests = steps.constLast().split('\n').constFirst().toLong();
    ASSERT_GT(requests, 2000);

    krm_shim_config config = withCodes(boardCodes());
    // The two releases after the open, then about halfway through the writes.
    config.gone_after = 2 + requests * 6 / 10;
    attach(config);
    const CliResult r = cli.run({"--port", board.slave(), "--vref", "10", "set", "all", "5"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.contains("the adapter is gone")) << r.err;
    const auto match =
        QRegularExpression("channels 1-(\\d+) were written; the write of channel (\\d+) was cut off")
            .match(r.err);
    ASSERT_TRUE(match.hasMatch()) << r.err;
    const int written = match.captured(1).toInt();
    EXPECT_EQ(match.captured(2).toInt(), written + 1);
    const std::vector<int> after = registers();
    for (int n = 1; n <= 24; ++n) {
        if (n <= written) {
            EXPECT_EQ(after[n - 1], 512) << "channel " << n;
        } else if (n > written + 1) {
            EXPECT_EQ(after[n - 1], boardCodes()[n - 1]) << "channel " << n;
        }
    }
}

} // namespace
