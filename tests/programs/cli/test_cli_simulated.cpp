// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// krm59340-cli on its simulated board, run as a script runs it: what each command puts on the bus (decoded
// from its trace by a logic analyser's I2C decoder), its JSON, and how bad input and stop signals end it.
#include "programs/cli/cli_fixture.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QThread>

#include <csignal>
#include <functional>

namespace {

std::vector<int> fileCodes()
{
    std::vector<int> codes;
    for (int n = 1; n <= 24; ++n)
        codes.push_back((n * 41) % 1024);
    return codes;
}

// The levels the trace leaves SCL and SDA at: (1, 1) is an idle bus.
std::pair<int, int> lastLevels(const QString& vcd)
{
    QFile file(vcd);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    int scl = 1, sda = 1;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line == "0!" || line == "1!")
            scl = line[0] - '0';
        if (line == "0\"" || line == "1\"")
            sda = line[0] - '0';
    }
    return {scl, sda};
}

// The trace file is created when the program has its bench: from then on a signal stops the bus work.
void waitFor(const QString& trace)
{
    QElapsedTimer clock;
    clock.start();
    while (!QFile::exists(trace) && clock.elapsed() < 10000)
        QThread::msleep(10);
}

// True when the trace holds no clock edge at all (or does not exist): not one bit went to the chip.
bool nothingClocked(const QString& vcd)
{
    QFile file(vcd);
    if (!file.open(QIODevice::ReadOnly))
        return true;
    return !file.readAll().contains("\n0!\n");
}

// DAC writes among the decoded transactions: an address byte followed by three data bytes.
int dacWrites(const QStringList& decoded)
{
    int writes = 0;
    for (qsizetype i = 0; i + 4 < decoded.size(); ++i)
        if (decoded[i].startsWith("Address write: 7") && decoded[i + 4].startsWith("Data write"))
            ++writes;
    return writes;
}

class CliOnSimulatedBoard : public ::testing::Test {
protected:
    CliFixture cli;
    QString trace = cli.path("bus.vcd");
};

TEST_F(CliOnSimulatedBoard, BadInputSaysWhichArgumentAndSendsNothing)
{
    const QString good = cli.writeChannelFile("good.csv", "2.5", fileCodes());
    std::vector<int> shortCodes = fileCodes();
    shortCodes.resize(10);
    const QString shortFile = cli.writeChannelFile("short.csv", "2.5", shortCodes);
    QFile garbled(cli.path("garbled.csv"));
    ASSERT_TRUE(garbled.open(QIODevice::WriteOnly));
    garbled.write("2.5\r\n12abc\r\n");
    garbled.close();

    const struct {
        QStringList args;
        int status;
        QString named; // the message must name the bad argument
    } cases[] = {
        {{}, 1, "no command"},
        {{"frob"}, 1, "frob"},
        {{"--frob", "read"}, 1, "frob"},
        {{"--vref", "10", "read", "--json"}, 1, "--json"},
        {{"read", "extra"}, 1, "extra"},
        {{"--vref", "10", "set", "0", "1"}, 1, "channel 0"},
        {{"--vref", "10", "set", "25", "1"}, 1, "channel 25"},
        {{"--vref", "10", "set", "x", "1"}, 1, "'x'"},
        {{"--vref", "10", "set", "2.5", "1"}, 1, "'2.5'"},
        {{"--vref", "10", "set", "3", "abc"}, 1, "'abc'"},
        {{"--vref", "10", "set", "3", "nan"}, 1, "'nan'"},
        {{"--vref", "10", "set", "3", "inf"}, 1, "'inf'"},
        {{"--vref", "10", "set", "3", "1e999"}, 1, "'1e999'"},
        {{"--vref", "10", "set", "3"}, 1, "VOLTS"},
        {{"set", "3", "--code", "1024"}, 1, "1024"},
        {{"set", "3", "--code", "0x400"}, 1, "0x400"},
        {{"set", "3", "1"}, 1, "--vref"}, // no settings: the reference is 0 V
        {{"load", cli.path("missing.csv")}, 1, "missing.csv"},
        {{"load", shortFile}, 1, "short.csv"},
        {{"load", garbled.fileName()}, 1, "12abc"},
        {{"batch", good, garbled.fileName()}, 1, "garbled.csv"},
        {{"batch", good, "--delay", "-1"}, 1, "--delay"},
        {{"batch", good, "--cycles", "x"}, 1, "--cycles"},
        {{"otp", "3"}, 1, "--yes"},
        {{"otp", "all"}, 1, "--yes"},
        {{"--a0", "2", "read"}, 1, "--a0"},
        {{"--vref", "0", "read"}, 1, "--vref"},
        {{"--rate", "0", "read"}, 1, "--rate"},
        {{"--port", "COMX", "read"}, 1, "COMX"},
        {{"--port", "COM17", "read"}, 1, "COM17"},
        {{"--port", "/dev/ttyUSB0", "read"}, 1, "/dev/ttyUSB0"},
        {{"--line-latency", "5", "read"}, 1, "'5'"},
        {{"--port", "COM2", "read"}, 2, "COM2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QFile::remove(trace);
        const CliResult r = cli.run(QStringList{"--simulate", "--bus-trace", trace} + c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
        EXPECT_TRUE(r.err.startsWith("krm59340-cli: ")) << r.err;
        EXPECT_EQ(r.err.count('\n'), 1) << r.err;
        EXPECT_TRUE(r.err.contains(c.named)) << r.err;
        EXPECT_TRUE(nothingClocked(trace));
    }
}

TEST_F(CliOnSimulatedBoard, EachCommandSendsOnlyTheTrafficItNeeds)
{
    const std::vector<int> codes = fileCodes();
    const QString file = cli.writeChannelFile("codes.csv", "2.5", codes);
    std::vector<int> otherCodes(24, 1000);
    const QString other = cli.writeChannelFile("other.csv", "5", otherCodes);
    const std::vector<int> zeros(24, 0);
    const auto writesOf = [](int address, const std::vector<int>& values) {
        QStringList out;
        for (int n = 1; n <= 24; ++n)
            out << traffic::dacWrite(address, n, values.at(n - 1));
        return out;
    };
    const auto channels = [](const QJsonObject& json) { return json["channels"].toArray(); };

    const struct {
        QStringList args;
        QStringList traffic; // after the line check (which makes no START or STOP)
        std::function<void(const QJsonObject&)> check;
    } cases[] = {
        {{"--vref", "10", "set", "3", "2.5"},
         traffic::probe(0x74) + traffic::dacWrite(0x74, 3, 256),
         [&](const QJsonObject& json) {
             ASSERT_EQ(channels(json).size(), 1);
             const QJsonObject row = channels(json)[0].toObject();
             EXPECT_EQ(row["channel"].toInt(), 3);
             EXPECT_EQ(row["code"].toInt(), 256);
             EXPECT_EQ(row["hex"].toString(), "100");
             EXPECT_DOUBLE_EQ(row["volts"].toDouble(), 2.5);
             EXPECT_DOUBLE_EQ(row["requested_volts"].toDouble(), 2.5);
             EXPECT_EQ(json["address"].toString(), "0x74");
         }},
        // Clamped to the reference as the window clamps it: code 1024, whose ten bits the write sends.
        {{"--vref", "4", "set", "24", "7"},
         traffic::probe(0x74) + traffic::dacWrite(0x74, 24, 0x3FF),
         [&](const QJsonObject& json) { EXPECT_EQ(channels(json)[0].toObject()["code"].toInt(), 1023); }},
        {{"--a0", "1", "set", "all", "--code", "0x2A5"},
         traffic::probe(0x75) + writesOf(0x75, std::vector<int>(24, 0x2A5)),
         [&](const QJsonObject& json) {
             EXPECT_EQ(channels(json).size(), 24);
             EXPECT_EQ(json["a0"].toInt(), 1);
             EXPECT_EQ(json["address"].toString(), "0x75");
         }},
        {{"read"},
         traffic::probe(0x74) + traffic::readChip(0x74, zeros, 0),
         [&](const QJsonObject& json) {
             EXPECT_EQ(channels(json).size(), 24);
             EXPECT_EQ(json["bank_status"].toInt(), 0);
             EXPECT_EQ(json["port"].toString(), "COM1");
             EXPECT_TRUE(json["simulated"].toBool());
         }},
        {{"load", file},
         traffic::probe(0x74) + writesOf(0x74, codes),
         [&](const QJsonObject& json) {
             EXPECT_DOUBLE_EQ(json["reference"].toDouble(), 2.5);
             EXPECT_EQ(channels(json)[23].toObject()["code"].toInt(), codes[23]);
             EXPECT_DOUBLE_EQ(channels(json)[23].toObject()["volts"].toDouble(), codes[23] * 2.5 / 1024);
         }},
        {{"reset"},
         traffic::probe(0x74) + traffic::generalCallReset() + traffic::readChip(0x74, zeros, 0),
         [&](const QJsonObject& json) { EXPECT_EQ(channels(json).size(), 24); }},
        {{"otp", "3", "--yes"},
         traffic::probe(0x74) + traffic::read(0x74, 2, 0) + traffic::write(0x74, 2, 0x40, 0) +
             traffic::generalCallReset() + traffic::read(0x74, 0x3F, 1),
         [&](const QJsonObject& json) {
             EXPECT_EQ(json["bank_status"].toInt(), 1);
             ASSERT_EQ(json["burnt"].toArray().size(), 1);
             EXPECT_EQ(json["burnt"].toArray()[0].toObject()["channel"].toInt(), 3);
         }},
        {{"probe"},
         traffic::probe(0x74) + traffic::probe(0x75),
         [&](const QJsonObject& json) {
             EXPECT_EQ(json["lines"].toString(), "lines OK");
             const QJsonArray chips = json["chips"].toArray();
             ASSERT_EQ(chips.size(), 2);
             EXPECT_TRUE(chips[0].toObject()["answers"].toBool());
             EXPECT_TRUE(chips[0].toObject()["in_use"].toBool());
             EXPECT_FALSE(chips[1].toObject()["in_use"].toBool());
         }},
        {{"trigger"},
         traffic::probe(0x74),
         [&](const QJsonObject& json) { EXPECT_EQ(json["sent"].toString(), "01 00 00 00"); }},
        {{"save", cli.path("saved.csv")},
         traffic::probe(0x74) + traffic::readChip(0x74, zeros, 0),
         [&](const QJsonObject&) {
             QFile saved(cli.path("saved.csv"));
             ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
             EXPECT_EQ(saved.readAll(), "10\r\n" + QByteArray("0\r\n").repeated(24));
         }},
        {{"batch", file, other, "--cycles", "2"},
         traffic::probe(0x74) + writesOf(0x74, codes) + writesOf(0x74, otherCodes) + writesOf(0x74, codes) +
             writesOf(0x74, otherCodes),
         [&](const QJsonObject& json) {
             const QJsonArray applied = json["applied"].toArray();
             ASSERT_EQ(applied.size(), 4);
             EXPECT_EQ(applied[0].toObject()["file"].toString(), file);
             EXPECT_EQ(applied[3].toObject()["file"].toString(), other);
             EXPECT_EQ(applied[3].toObject()["cycle"].toInt(), 2);
             EXPECT_FALSE(applied[0].toObject()["time"].toString().isEmpty());
             EXPECT_FALSE(json["stopped"].toBool());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        // The reference the settings give A0 = 0, which a save writes into the file.
        cli.writeSettings({{"vref_high0/10", "10"}});
        const CliResult r = cli.run(QStringList{"--simulate", "--json", "--bus-trace", trace} + c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        for (const QString& line : r.err.split('\n', Qt::SkipEmptyParts))
            EXPECT_TRUE(line.startsWith("krm59340-cli: warning: ")) << line;
        const QJsonObject json = r.json();
        EXPECT_EQ(json["command"].toString(), c.args.at(c.args.indexOf(QRegularExpression("^[a-z]+$"))));
        c.check(json);
        const QStringList decoded = traffic::decode(trace);
        ASSERT_EQ(decoded.size(), c.traffic.size()) << decoded.join(" | ").toStdString();
        for (qsizetype i = 0; i < decoded.size(); ++i)
            ASSERT_EQ(decoded[i], c.traffic[i]) << "annotation " << i;
        EXPECT_EQ(lastLevels(trace), std::make_pair(1, 1));
    }
}

TEST_F(CliOnSimulatedBoard, AVoltageOutsideTheReferenceIsClampedWithAWarning)
{
    const CliResult r = cli.run({"--simulate", "--json", "--vref", "10", "set", "all", "-1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.count('\n'), 1) << r.err;
    EXPECT_TRUE(r.err.contains("warning: -1 V is outside 0..10 V")) << r.err;
    for (const QJsonValue& row : r.json()["channels"].toArray())
        EXPECT_EQ(row.toObject()["code"].toInt(), 0);
}

// A stop signal ends the program at the next transaction boundary, then by the signal itself: the bus is
// idle, every transaction on it complete, and the message says nothing was written.
TEST_F(CliOnSimulatedBoard, AStopSignalDuringAReadLeavesTheBusIdle)
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        QFile::remove(trace);
        QProcess process;
        // At 1 ms per line request the read takes about eight seconds.
        cli.start(process, {"--simulate", "--line-latency", "1ms", "--bus-trace", trace, "--json", "read"});
        waitFor(trace);
        QThread::msleep(300);
        ::kill(pid_t(process.processId()), signal);
        const CliResult r = CliFixture::finish(process);
        EXPECT_EQ(r.status, -1) << r.err;
        EXPECT_EQ(r.signal, signal);
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_TRUE(r.err.contains("during read: nothing was written to the chip")) << r.err;
        const QStringList decoded = traffic::decode(trace);
        EXPECT_LT(decoded.count("Address read: 74"), 25) << "the read was not cut short";
        EXPECT_EQ(decoded.count("Start"), decoded.count("Stop"));
        EXPECT_EQ(dacWrites(decoded), 0);
        EXPECT_EQ(lastLevels(trace), std::make_pair(1, 1));
    }
}

TEST_F(CliOnSimulatedBoard, CtrlCEndsABatchOnceTheFileBeingAppliedIsDone)
{
    const QString first = cli.writeChannelFile("first.csv", "2.5", fileCodes());
    const QString second = cli.writeChannelFile("second.csv", "2.5", std::vector<int>(24, 7));
    QProcess process;
    // A file takes about a second at 0.3 ms per line request: the signal comes in the middle of the first.
    cli.start(process, {"--simulate", "--line-latency", "300us", "--bus-trace", trace, "batch", first, second,
                        "--cycles", "0"});
    waitFor(trace);
    QThread::msleep(200);
    ::kill(pid_t(process.processId()), SIGINT);
    const CliResult r = CliFixture::finish(process);
    EXPECT_EQ(r.signal, SIGINT);
    const QStringList decoded = traffic::decode(trace);
    const int writes = dacWrites(decoded);
    // Either the signal beat the first file (nothing applied) or that file was applied whole.
    if (r.lines().isEmpty()) {
        EXPECT_EQ(writes, 0);
    } else {
        ASSERT_EQ(r.lines().size(), 1) << r.out.toStdString();
        EXPECT_TRUE(r.lines()[0].contains(QRegularExpression("cycle +1  .*first\\.csv$"))) << r.lines()[0];
        EXPECT_EQ(writes, 24);
        EXPECT_TRUE(r.err.contains("stopped by SIGINT (Ctrl-C) after " + first + " (cycle 1)")) << r.err;
    }
    EXPECT_EQ(decoded.count("Start"), decoded.count("Stop"));
    EXPECT_EQ(lastLevels(trace), std::make_pair(1, 1));
}

TEST_F(CliOnSimulatedBoard, CtrlCEndsABatchsDelayAtOnce)
{
    const QString file = cli.writeChannelFile("only.csv", "2.5", fileCodes());
    QProcess process;
    // A delay far longer than finish() waits: only the signal can end it in time.
    cli.start(process, {"--simulate", "batch", file, "--delay", "600", "--cycles", "3"});
    ASSERT_TRUE(process.waitForReadyRead(10000));
    ::kill(pid_t(process.processId()), SIGINT);
    const CliResult r = CliFixture::finish(process);
    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_EQ(r.lines().size(), 1);
    EXPECT_TRUE(r.err.contains("after " + file + " (cycle 1)")) << r.err;
}

} // namespace
