// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// krm59340-cli on its simulated board, run as a script runs it: what each command puts on the bus (decoded
// from its trace by a logic analyser's I2C decoder), its JSON, and how bad input and stop signals end it.
#include "programs/cli/cli_fixture.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>

#include <csignal>

namespace {

// True when the trace ends with SCL (wire !) and SDA (wire ") high: an idle bus.
bool endsIdle(const QString& trace)
{
    const QByteArray vcd = readAll(trace);
    return vcd.lastIndexOf("\n1!\n") > vcd.lastIndexOf("\n0!\n") &&
           vcd.lastIndexOf("\n1\"\n") > vcd.lastIndexOf("\n0\"\n");
}

class CliOnSimulatedBoard : public ::testing::Test {
protected:
    CliFixture cli;
    QString trace = cli.path("bus.vcd");
    std::vector<int> codes = someCodes(41, 41);
    QString file = cli.writeChannelFile("codes.csv", "2.5", codes);
};

TEST_F(CliOnSimulatedBoard, BadInputSaysWhichArgumentAndSendsNothing)
{
    const QString shortFile = cli.writeChannelFile("short.csv", "2.5", {1, 2});
    const QString device = cli.path("ttyUSB0"); // no such file

    const struct {
        QStringList args;
        QString named; // the message must name the bad argument
    } cases[] = {
        {{}, "no command"},
        {{"frob"}, "frob"},
        {{"--frob", "read"}, "frob"},
        {{"read", "extra"}, "extra"},
        {{"--vref", "10", "set", "0", "1"}, "channel 0"},
        {{"--vref", "10", "set", "25", "1"}, "channel 25"},
        {{"--vref", "10", "set", "x", "1"}, "'x'"},
        {{"--vref", "10", "set", "3", "nan"}, "'nan'"},
        {{"--vref", "10", "set", "3", "inf"}, "'inf'"},
        {{"set", "3", "--code", "1024"}, "1024"},
        {{"load", cli.path("missing.csv")}, "missing.csv"},
        {{"load", shortFile}, "short.csv"},
        {{"batch", file, shortFile}, "short.csv"},
        {{"otp", "3"}, "--yes"},
        {{"--a0", "2", "read"}, "--a0"},
        {{"--vref", "0", "read"}, "--vref"},
        {{"--rate", "0", "read"}, "--rate"},
        {{"--port", "COM17", "read"}, "COM17"},
        {{"--port", device, "read"}, device},
        {{"--line-latency", "5", "read"}, "'5'"},
        {{"--line-latency", "2s", "read"}, "'2s'"},
        {{"batch", file, "--delay", "-1"}, "-1"},
        {{"batch", file, "--delay", "5 min"}, "5 min"},
        {{"read", "3", "3"}, "twice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const CliResult r = cli.run(QStringList{"--simulate", "--bus-trace", trace} + c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
        EXPECT_TRUE(r.err.startsWith("krm59340-cli: ") && r.err.count('\n') == 1 && r.err.contains(c.named))
            << r.err;
        EXPECT_FALSE(readAll(trace).contains("\n0!\n")) << "a clock edge went out";
    }
}

TEST_F(CliOnSimulatedBoard, EachCommandSendsOnlyTheTrafficItNeedsAndSaysSoInJson)
{
    const std::vector<int> others(24, 1000);
    const QString other = cli.writeChannelFile("other.csv", "5", others);
    std::vector<int> high(24, 0);
    high[0] = high[1] = 2000;
    std::vector<int> highSent = high;
    highSent[0] = highSent[1] = 0x3FF;
    const QString highFile = cli.writeChannelFile("high.csv", "10", high);
    const QString longFile = cli.writeChannelFile("long.csv", "10", std::vector<int>(25, 7));
    // The reference the settings give A0 = 0, which a save writes into the file.
    cli.writeSettings({{"vref_high0/10", "10"}});

    using namespace traffic;
    const struct {
        QStringList args;
        QStringList traffic; // after the line check (which makes no START or STOP)
        QString json;
        QString warned = {};
    } cases[] = {
        {{"set", "3", "2.5"},
         probe(0x74) + dacWrites(0x74, {256}, 3),
         "channels/#=1, channels/0/code=256, channels/0/hex=100, channels/0/volts=2.5, address=0x74"},
        // Clamped to the reference as the window clamps it.
        {{"--vref", "4", "set", "24", "7"},
         probe(0x74) + dacWrites(0x74, {0x3FF}, 24),
         "channels/0/code=1023",
         "warning: 7 V is outside 0..4 V"},
        {{"set", "1", "-1"}, probe(0x74) + dacWrites(0x74, {0}), "", "-1 V is outside 0..10 V"},
        {{"--a0", "1", "set", "all", "--code", "0x2A5"},
         probe(0x75) + dacWrites(0x75, std::vector<int>(24, 0x2A5)),
         "channels/#=24, a0=1, address=0x75"},
        {{"read"}, probe(0x74) + readChip(0x74), "channels/#=24, bank_status=0, port=COM1, simulated=true"},
        // Single registers, in the order asked: a pointer write and a word read each; the program's own
        // options may follow the command.
        {{"read", "3", "1", "--a0", "1"},
         probe(0x75) + read(0x75, 2, 0) + read(0x75, 0, 0),
         "channels/#=2, channels/0/channel=3, channels/1/channel=1, address=0x75"},
        {{"set", "2", "--code", "7", "--verify"},
         probe(0x74) + dacWrites(0x74, {7}, 2) + read(0x74, 1, 7),
         "verified=true"},
        {{"load", file},
         probe(0x74) + dacWrites(0x74, codes),
         "reference=2.5, channels/23/code=984, channels/23/volts=" + QVariant(984 * 2.5 / 1024).toString()},
        // Loaded as stored files hold them, with a word on what the chip got.
        {{"load", highFile},
         probe(0x74) + dacWrites(0x74, highSent),
         "channels/#=24",
         "codes above 1023 for channels 1, 2: the chip takes 1023"},
        {{"load", longFile},
         probe(0x74) + dacWrites(0x74, std::vector<int>(24, 7)),
         "",
         "more than 25 values"},
        {{"reset"}, probe(0x74) + generalCallReset + readChip(0x74), "channels/#=24"},
        // The code read back burnt into OTP (command 0x40) between two bank status reads, the reset that
        // loads the new bank into every register, and the read-back of all of them.
        {{"otp", "3", "--yes"},
         probe(0x74) + readChannels(0x74) + read(0x74, 0x3F, 0) + frame(0x74, false, {2, 0x40, 0}) +
             generalCallReset + read(0x74, 0x3F, 1) + readChannels(0x74),
         "bank_status=1, bank_status_before=0, burnt/#=1, burnt/0/channel=3, channels/#=24, changed/#=0"},
        {{"probe"},
         probe(0x74) + probe(0x75),
         "lines=lines OK, chips/0/answers=true, chips/0/in_use=true, chips/1/in_use=false"},
        // A duration in seconds, without a unit.
        {{"--line-latency", "0.001", "trigger"}, probe(0x74), "sent=01 00 00 00"},
        {{"save", cli.path("saved.csv")}, probe(0x74) + readChip(0x74), ""},
        {{"batch", file, other, "--cycles", "2", "--delay", "1ms"},
         probe(0x74) + dacWrites(0x74, codes) + dacWrites(0x74, others) + dacWrites(0x74, codes) +
             dacWrites(0x74, others),
         "files_applied=4, end=done"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const CliResult r = cli.run(QStringList{"--simulate", "--json", "--bus-trace", trace} + c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.count('\n'), c.warned.isEmpty() ? 0 : 1) << r.err;
        EXPECT_TRUE(r.err.contains(c.warned)) << r.err;
        const QJsonObject json = r.json();
        EXPECT_EQ(json["command"], c.args.at(c.args.indexOf(QRegularExpression("^[a-z]+$"))));
        expectJson(json, c.json);
        EXPECT_EQ(traffic::decode(trace), c.traffic);
        EXPECT_TRUE(endsIdle(trace));
    }
    EXPECT_EQ(readAll(cli.path("saved.csv")), "10\r\n" + QByteArray("0\r\n").repeated(24));
}

// A session opens, checks and probes once for all its commands: 50 triggers leave the very trace one
// trigger run leaves, and a mixed session puts one probe on the bus and then only its commands' traffic. A
// bad line is answered and the session goes on.
TEST_F(CliOnSimulatedBoard, ASessionOpensChecksAndProbesOnceAndAnswersEveryCommand)
{
    const QString once = cli.path("once.vcd");
    ASSERT_EQ(cli.run({"--simulate", "--bus-trace", once, "trigger"}).status, 0);
    CliResult r = cli.session({"--simulate", "--json", "--bus-trace", trace}, QStringList(50, "trigger"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.lines().size(), 50);
    EXPECT_EQ(readAll(trace), readAll(once));

    QStringList lines;
    QStringList expected = traffic::probe(0x74);
    for (int step = 1; step <= 16; ++step) {
        lines << QString("set %1 --code %2").arg(step % 24 + 1).arg(step * 50)
              << QString("read %1").arg(step % 24 + 1) << "wait 0";
        expected +=
            traffic::dacWrites(0x74, {step * 50}, step % 24 + 1) + traffic::read(0x74, step % 24, step * 50);
    }
    lines << ""
          << "# a comment gets no answer"
          << "frob"
          << "set 0 1"
          << "quit"
          << "read";
    r = cli.session({"--simulate", "--json", "--bus-trace", trace}, lines);
    ASSERT_EQ(r.status, 0) << r.err;
    const QList<QJsonObject> answers = r.lines();
    ASSERT_EQ(answers.size(), 48 + 3) << r.out.toStdString();
    for (int step = 1; step <= 16; ++step) {
        SCOPED_TRACE(step);
        expectJson(answers[3 * step - 3], "ok=true, command=set");
        expectJson(answers[3 * step - 2],
                   QString("ok=true, channels/#=1, channels/0/code=%1").arg(step * 50));
    }
    expectJson(answers[48], "ok=false, status=1");
    EXPECT_TRUE(answers[48]["error"].toString().contains("frob"));
    expectJson(answers[49], "ok=false, status=1, command=set");
    expectJson(answers[50], "ok=true, command=quit");
    EXPECT_TRUE(r.out.startsWith("{\"ok\":true,"));
    EXPECT_EQ(traffic::decode(trace), expected);
}

// A stop signal while the session waits for its next line ends it, and the program by the signal.
TEST_F(CliOnSimulatedBoard, AStopSignalEndsASessionWaitingForInput)
{
    QProcess process;
    cli.start(process, {"--simulate", "--bus-trace", trace, "session"});
    process.write("read 3\n");
    ASSERT_TRUE(process.waitForReadyRead(10000));
    ::kill(pid_t(process.processId()), SIGTERM);
    const CliResult r = CliFixture::finish(process);
    EXPECT_EQ(r.signal, SIGTERM) << r.err;
    EXPECT_TRUE(r.out.startsWith("ok    read")) << r.out.toStdString();
    EXPECT_TRUE(r.err.contains("stopped by SIGTERM")) << r.err;
    EXPECT_TRUE(endsIdle(trace));
}

// --state carries the registers and the OTP banks from run to run, one-shot or session alike; a damaged
// file is refused by the entry before anything is sent.
TEST_F(CliOnSimulatedBoard, TheStateFileCarriesTheChipsAcrossRuns)
{
    const QString state = cli.path("board.ini");
    const QStringList simulated = {"--simulate", "--json", "--state", state};
    ASSERT_EQ(cli.run(simulated + QStringList{"set", "3", "--code", "0x155"}).status, 0);
    ASSERT_EQ(cli.session(simulated, {"otp 3 --yes", "set 3 --code 9", "set 4 --code 4"}).status, 0);
    CliResult r = cli.run(simulated + QStringList{"read"});
    ASSERT_EQ(r.status, 0) << r.err;
    expectJson(r.json(), "channels/2/code=9, channels/3/code=4, bank_status=1");
    // The burnt bank is what a reset loads.
    r = cli.run(simulated + QStringList{"reset"});
    expectJson(r.json(), "channels/2/code=341, channels/3/code=0, bank_status=1");

    const QByteArray saved = readAll(state);
    ASSERT_TRUE(saved.contains("\n[0x75]\n")) << saved.toStdString();
    const struct {
        QByteArray from, to;
        QString key;
    } damages[] = {{"otp1=0 0 341 ", "otp1=0 0 341x ", "otp1"},
                   {"banks_used=1", "banks_used=9", "banks_used"},
                   {"resets=", "reset=", "resets"}};
    for (const auto& [from, to, key] : damages) {
        QFile file(state);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(saved).replace(from, to));
        file.close();
        r = cli.run(simulated + QStringList{"--bus-trace", trace, "read"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.contains("[0x74] " + key) && r.err.contains("board.ini")) << r.err;
        EXPECT_FALSE(readAll(trace).contains("\n0!\n")) << "a clock edge went out";
    }
}

// Entries of the settings that cannot be used as they stand are named on stderr, each falls back alone, and
// the chip is addressed by the A0 the program says it uses.
TEST_F(CliOnSimulatedBoard, UnusableSettingsAreNamedAndAddressTheChipTheyNameInUse)
{
    using namespace traffic;
    const struct {
        std::vector<std::pair<const char*, QString>> entries;
        QStringList args;
        QStringList traffic;
        QString json;
        QStringList named;
    } cases[] = {
        {{{"a0/1", "10"}},
         {"set", "1", "--code", "0x155"},
         probe(0x74) + dacWrites(0x74, {0x155}),
         "a0=0, address=0x74",
         {"[a0] 1"}},
        {{{"a0/1", "01"}},
         {"set", "1", "--code", "0x155"},
         probe(0x74) + dacWrites(0x74, {0x155}),
         "a0=0, address=0x74",
         {"[a0] 1"}},
        {{{"a0/1", "7"}}, {"probe"}, probe(0x74) + probe(0x75), "chips/0/in_use=true", {"[a0] 1"}},
        {{{"a0/1", "0"}, {"BitRate/3", "3000000000"}},
         {"set", "2", "--code", "0x3"},
         probe(0x74) + dacWrites(0x74, {3}, 2),
         "address=0x74",
         {"[BitRate] 3"}},
        {{{"a0/1", "1"}, {"vref_high0/10", "1.5"}, {"vref_high1/10", "1e999"}},
         {"set", "1", "--code", "512"},
         probe(0x75) + dacWrites(0x75, {512}),
         "address=0x75, reference=0",
         {"[vref_high1] 10"}},
        {{{"vref_high0/10", "2,5"}},
         {"set", "1", "1"},
         probe(0x74) + dacWrites(0x74, {512}),
         "reference=2, channels/0/code=512",
         {"[vref_high0] 10", "read as 2 V"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QFile::remove(cli.settingsFile());
        for (const auto& [key, value] : c.entries)
            cli.writeSettings({{key, value}});
        const CliResult r = cli.run(QStringList{"--simulate", "--json", "--bus-trace", trace} + c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.count('\n'), 1) << r.err;
        for (const QString& named : c.named)
            EXPECT_TRUE(r.err.contains("warning: ") && r.err.contains(named)) << r.err;
        expectJson(r.json(), c.json);
        EXPECT_EQ(traffic::decode(trace), c.traffic);
    }
}

// An output or a trace the system takes only in part (a full disk, as a file size limit makes it, or a
// closed stdout) fails the run with the reason: a script must not take an empty result for a finished run.
TEST_F(CliOnSimulatedBoard, AnOutputOrTraceThatCannotBeWrittenFailsTheRun)
{
    const QString out = cli.path("out.json");
    const struct {
        QString shell; // run by sh with the program and its arguments as "$@"
        QStringList args;
        QString named;
    } cases[] = {
        {"trap '' XFSZ; ulimit -f 1; exec \"$@\" > " + out, {"--json", "read"}, "File too large"},
        {"exec \"$@\" >&-", {"--json", "read"}, "the output could not be written"},
        {"exec \"$@\" >&-", {"read"}, "the output could not be written"},
        {"trap '' XFSZ; ulimit -f 2; exec \"$@\"", {"--bus-trace", trace, "--json", "read"}, "bus.vcd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shell.toStdString());
        const CliResult r =
            cli.run(QStringList{"-c", c.shell, "sh", KRM_CLI, "--simulate"} + c.args, "/bin/sh");
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_TRUE(r.err.contains(c.named)) << r.err;
    }
}

// Without a reference above 0 a code converts to no voltage: JSON says null and the text "-", never 0 V.
TEST_F(CliOnSimulatedBoard, WithoutAReferenceVoltsAreNull)
{
    const CliResult json = cli.run({"--simulate", "--json", "set", "1", "--code", "0x155"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_TRUE(json.json()["channels"][0]["volts"].isNull()) << json.out.toStdString();
    const CliResult text = cli.run({"--simulate", "set", "1", "--code", "0x155"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_TRUE(QRegularExpression("\\n *1 +341 +155 +-\\n").match(QString::fromUtf8(text.out)).hasMatch())
        << text.out.toStdString();
}

// A stop signal ends the program at the next transaction boundary, then by the signal itself: the bus is
// idle, every transaction on it complete, and the message says nothing was written. Killed outright, the
// program says nothing, and its trace still holds every transaction it finished.
TEST_F(CliOnSimulatedBoard, AStopSignalDuringAReadLeavesTheBusIdle)
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(signal);
        const bool killed = signal == SIGKILL;
        QFile::remove(trace);
        QProcess process;
        // At 1 ms per line request the read takes about eight seconds. The trace file is created when the
        // program has its bench: from then on a signal stops the bus work.
        cli.start(process, {"--simulate", "--line-latency", "1ms", "--bus-trace", trace, "--json", "read"});
        QElapsedTimer clock;
        for (clock.start(); !QFile::exists(trace) && clock.elapsed() < 10000;)
            QThread::msleep(10);
        QThread::msleep(killed ? 1000 : 300);
        ::kill(pid_t(process.processId()), signal);
        const CliResult r = CliFixture::finish(process);
        EXPECT_EQ(r.signal, signal) << r.err;
        EXPECT_TRUE(r.out.isEmpty());
        const QStringList decoded = traffic::decode(trace);
        EXPECT_LT(decoded.count("Address read: 74"), 25) << "the read was not cut short";
        if (killed) {
            EXPECT_GE(decoded.count("Address read: 74"), 1);
            EXPECT_LE(decoded.count("Start") - decoded.count("Stop"), 1) << "at most the one it was in";
            continue;
        }
        EXPECT_TRUE(r.err.contains("during read: nothing was written to the chip")) << r.err;
        EXPECT_EQ(decoded.count("Start"), decoded.count("Stop"));
        // The probe's address write has no data byte, each read's pointer write one: a DAC write has three.
        EXPECT_EQ(decoded.filter("Data write").size(), decoded.filter("Address write").size() - 1);
        EXPECT_TRUE(endsIdle(trace));
    }
}

// Ctrl-C in a batch waits for the file being applied (CliRunner shows it at an exact transaction), but a
// delay between files ends at once: one far longer than finish() waits.
TEST_F(CliOnSimulatedBoard, CtrlCEndsABatchsDelayAtOnce)
{
    QProcess process;
    cli.start(process, {"--simulate", "batch", file, "--delay", "600", "--cycles", "3"});
    // The first file's line comes just before the delay begins: the signal must find the program inside it.
    ASSERT_TRUE(process.waitForReadyRead(10000));
    QThread::msleep(300);
    ::kill(pid_t(process.processId()), SIGINT);
    const CliResult r = CliFixture::finish(process);
    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_EQ(r.out.count('\n'), 1) << r.out.toStdString();
    EXPECT_TRUE(r.err.contains("stopped by SIGINT (Ctrl-C) after " + file + " (cycle 1)")) << r.err;
}

} // namespace
