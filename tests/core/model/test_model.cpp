// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "files/regular_file.h"
#include "model/channel_model.h"
#include "model/ini_file.h"
#include "model/numbers.h"
#include "model/settings_store.h"
#include "model/wait.h"
#include "serial/serial_link.h"

#include "support/fake_grid.h"
#include "support/qstring_printer.h"
#include "support/recording_port.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace model;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Numbers, LeadingNumberReadsTheLongestNumericPrefix)
{
    const std::pair<const char*, double> cases[] = {
        {"5.5V", 5.5},    {"abc", 0},           {"", 0},     {"-", 0},       {"1e", 1},
        {"2E-x", 2},      {".5", 0.5},          {"\t+3", 3}, {"2.5.3", 2.5}, {"5,5", 5},
        {"inf", 0},       {"0x1F", 0},          {"007", 7},  {"1e-400", 0},  {"1e400", kInf},
        {"1.5E3V", 1500}, {"  -2.5e+2x", -250},
    };
    for (const auto& [text, value] : cases)
        EXPECT_EQ(leading_number(QString::fromLatin1(text)), value) << text;
}

TEST(Numbers, DisplayTexts)
{
    const std::pair<double, const char*> numbers[] = {
        {2.5, "2.5"},    {5, "5"},         {0, "0"},
        {-0.0, "0"},     {4.096, "4.096"}, {0.1 + 0.2, "0.3"},
        {1e20, "1E+20"}, {1e-5, "1E-05"},  {123456789012345, "123456789012345"},
    };
    for (const auto& [value, text] : numbers)
        EXPECT_EQ(number_text(value), text) << value;
    // Truncated toward minus infinity, never rounded.
    const std::pair<double, const char*> volts[] = {
        {9.765625, "9.765"}, {2.4975586, "2.497"}, {-0.0005, "-0.001"},
        {4.096, "4.096"},    {1e-5, "0"},          {1.25, "1.25"},
    };
    for (const auto& [value, text] : volts)
        EXPECT_EQ(volt_text(value), text) << value;
    const std::pair<double, const char*> codes[] = {
        {0, "0"},   {1023, "3FF"}, {1024, "400"}, {65535, "FFFF"},
        {2.5, "2"}, {-5, "0"},     {kNaN, "0"},   {kInf, "FFFFFFFF"},
    };
    for (const auto& [value, text] : codes)
        EXPECT_EQ(code_text(value), text) << value;
}

TEST(Numbers, IntegerConversionRoundsHalfToEvenAndRejectsOverflow)
{
    constexpr std::nullopt_t no = std::nullopt;
    // value, to_int16, to_int32
    const std::tuple<double, std::optional<qint16>, std::optional<qint32>> cases[] = {
        {2.5, 2, 2},    {3.5, 4, 4},          {-2.5, -2, -2},
        {2.51, 3, 3},   {32767.5, no, 32768}, {2147483647.5, no, no},
        {kNaN, no, no}, {-kInf, no, no},
    };
    for (const auto& [value, i16, i32] : cases) {
        EXPECT_EQ(to_int16(value), i16) << value;
        EXPECT_EQ(to_int32(value), i32) << value;
    }
}

// Whether an event queued before the call ran inside it: no clock is read, so nothing here is timed.
TEST(Wait, QueuedEventsRunInsideTheWaitAndNothingToWaitReturnsAtOnce)
{
    for (double s : {0.05, 0.0, -1.0, kNaN}) {
        bool ran = false;
        QTimer::singleShot(0, [&ran] { ran = true; });
        model::wait_seconds(s);
        EXPECT_EQ(ran, s > 0) << s;
        QCoreApplication::processEvents(); // do not leave the event behind for the next case
    }
}

// The window and the link over a dead bus, where every word read is 65535; tap.dacWrites() decodes the wires.
struct Rig {
    RecordingPort tap;
    bus::I2cMaster i2c{tap};
    ChannelModel model{i2c};
    FakeGrid grid{model};
    serial::SerialLink link{tap};
    // Shows the codes (the cascade runs), then forgets the traffic that took.
    explicit Rig(double reference = 10, std::initializer_list<std::pair<int, double>> codes = {})
    {
        model.vref_high_cur = reference;
        model.setGrid(&grid);
        for (auto [channel, c] : codes)
            model.code[channel] = c;
        model.refresh_channels();
        tap.clear();
    }

    // Loads the settings over bank slots holding 7 and 8, then tells what that left: default dir | A0 | port
    // | rate | bank slots 0 and 1 | reference in use.
    QString load(const QString& path)
    {
        SettingsStore store(path);
        model.vref_high = {7, 8};
        store.load_settings(model, link);
        return QStringLiteral("%1|%2|%3|%4|%5|%6|%7")
            .arg(store.default_dir, model.a0_state, QString::number(link.PortNumber),
                 QString::number(link.BitRate), number_text(model.vref_high[0]),
                 number_text(model.vref_high[1]), number_text(model.vref_high_cur))
            .replace(QDir::homePath() + '/', QStringLiteral("~/"));
    }
};

TEST(ChannelModel, VoltToCodeClampsAndAReferenceWithoutRangeChangesNothing)
{
    // reference, text, volt, code; row 1 holds 3 V and code 700 before.
    const std::tuple<double, const char*, double, double> cases[] = {
        {2.5, "1.25", 1.25, 512}, {2.5, "2.5", 2.5, 1024}, {2.5, "2.497", 2.497, 1023}, {2.5, "3", 2.5, 1024},
        {2.5, "-1", 0, 0},        {2.5, "abc", 0, 0},      {0, "1.25", 3, 700},         {0, "-1", 3, 700},
    };
    for (const auto& [reference, text, volt, code] : cases) {
        Rig rig(reference);
        rig.model.code[1] = 700;
        rig.model.volt[1] = 3;
        rig.grid.type(0, QString::fromLatin1(text));
        EXPECT_DOUBLE_EQ(rig.model.volt[1], volt) << reference << " " << text;
        EXPECT_EQ(rig.model.code[1], code) << reference << " " << text;
    }
}

TEST(ChannelModel, BitStrings)
{
    Rig rig(10);
    ChannelModel& m = rig.model;
    m.decmal_to_binary8(23);
    EXPECT_EQ(m.bits_result, "00010111");
    m.decmal_to_binary5(23);
    EXPECT_EQ(m.bits_result, "10111");
    EXPECT_THROW(m.decmal_to_binary8(256), FatalError);
    const auto code = [&m](double c) { return m.code_to_binary10(c), m.bits_high + ' ' + m.bits_low; };
    EXPECT_EQ(code(677), "00000010 10100101");
    EXPECT_EQ(code(1024), "00000011 11111111");
    EXPECT_EQ(code(65535), "00000011 11111111");
}

TEST(ChannelModel, RefreshWritesOnlyChangedRowsAndLeavesCurChanAtTheLast)
{
    Rig rig(2.5, {{1, 512}, {2, 1023}, {3, 65535}, {7, 200}});
    EXPECT_EQ(rig.grid.volts[0] + ' ' + rig.grid.volts[1] + ' ' + rig.grid.volts[2], "1.25 2.497 2.5");
    EXPECT_EQ(rig.model.vref_high, (std::array<double, 2>{2.5, 0})); // A0 "0": bank 0
    rig.model.cur_chan = 1;
    rig.model.code[2] = 100;
    rig.model.code[7] = 650;
    rig.model.refresh_channels();
    EXPECT_EQ(rig.tap.dacWrites(),
              (std::vector<std::pair<int, int>>{{1, 100}, {6, 650}})); // row 3 became 1024 on show
    EXPECT_EQ(rig.model.cur_chan, 7);
}

TEST(ChannelModel, StepCurrentCode)
{
    // At 1 V half a step is below the 1 mV the box shows.
    Rig rig(1, {{5, 0}});
    rig.model.cur_chan = 5;
    const auto step = [&rig](int delta) {
        rig.tap.clear();
        rig.model.step_current_code(delta);
        return std::tuple(rig.grid.volts[4], rig.grid.codes[4], rig.tap.dacWrites());
    };
    using Shown = std::tuple<QString, QString, std::vector<std::pair<int, int>>>; // voltage, code, writes
    EXPECT_EQ(step(-1), Shown("0", "0", {}));
    EXPECT_EQ(step(+1), Shown("0", "1", {}));
    EXPECT_EQ(step(+1), Shown("0.001", "2", {{4, 2}})); // the code stepped to, not one read back from "0.001"
    rig.model.code[5] = 65535;                          // as a read from a dead bus leaves it
    EXPECT_EQ(step(+1), Shown("0.999", "3FF", {{4, 1023}}));
}

TEST(ChannelModel, ReadAllChannelsReadsBeforeTheCascadeAndStoresTheReferenceInTheA0Bank)
{
    Rig rig;
    rig.model.vref_high_cur = 2.5;
    rig.model.setGrid(nullptr);               // no window, so no cascade
    rig.model.a0_state = QStringLiteral("2"); // any text but "0" selects bank 1
    rig.model.readAllChannels();
    EXPECT_EQ(rig.tap.requests.size(), 7650u);                        // 25 pointer writes and word reads
    EXPECT_EQ(rig.model.vref_high, (std::array<double, 2>{10, 2.5})); // slot 0 from Rig()
}

// Writes a hand-edited INI file, values unquoted: ";" ends a line, and P, R, A, H0, H1, D stand for the keys.
void writeIni(const QString& path, QString text)
{
    const std::pair<const char*, const char*> keys[] = {
        {"P=", "[PortNumb]\n2="},     {"R=", "[BitRate]\n3="},      {"A=", "[a0]\n1="},
        {"H0=", "[vref_high0]\n10="}, {"H1=", "[vref_high1]\n10="}, {"D=", "[Startup]\nDefault_Dir="},
    };
    for (const auto& [name, key] : keys)
        text.replace(QLatin1String(name), QLatin1String(key));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text.replace(';', '\n').toUtf8());
}

TEST(Settings, LoadReadsLeadingNumbersAndFallsBackWhenAValueDoesNotFit)
{
    const std::pair<const char*, const char*> cases[] = {
        {"", "|0|0|0|0|0|0"},      // first run: no file
        {"<dir>", "|0|0|0|0|0|0"}, // a directory where the file should be: unreadable
        {"P=3.5;R=9600, 8;A=0;H0=2.5V;H1=4.5;D=/d/", "/d/|0|4|9600|2.5|4.5|2.5"},
        {"P=2.5;R=115200;A=2;H0=abc;H1=4.5", "|2|2|115200|0|4.5|4.5"},
        {"A=1;H0=1.5;H1=1e2", "|1|0|0|1.5|100|100"},
        // The fallbacks: the bank slots keep what was read before the value that does not fit.
        {"P=70000;A=0;H0=1.5;H1=2.5;D=/d/", "~/|1|1|9600|1.5|2.5|5"},
        {"H0=1.5;H1=1e400", "~/|1|1|9600|1.5|8|5"},
    };
    for (const auto& [ini, expected] : cases) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("KRM72340.ini"));
        if (QByteArray(ini) == "<dir>")
            ASSERT_TRUE(QDir().mkdir(path));
        else if (*ini)
            writeIni(path, ini);
        EXPECT_EQ(Rig().load(path), expected) << ini;
    }
}

TEST(Settings, SaveRoundTripUnwritableStoreAndDirOfPath)
{
    QTemporaryDir dir;
    SettingsStore store(dir.filePath(QStringLiteral("KRM72340.ini")));
    Rig rig;
    rig.model.vref_high = {2.5, 4.096};
    rig.model.a0_state = QStringLiteral("1");
    rig.link.PortNumber = 3;
    rig.link.BitRate = 115200;
    ASSERT_EQ(store.save_settings(rig.model, rig.link), std::nullopt);
    ASSERT_EQ(store.save_default_dir(QStringLiteral("C:\\data\\")), std::nullopt);
    EXPECT_EQ(Rig().load(store.fileName()), "C:\\data\\|1|3|115200|2.5|4.096|4.096");
    {
        QSettings ini(store.fileName(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("Ports/COM3"), QStringLiteral("/fake/adapter"));
        ini.setValue(QStringLiteral("Ports/COM17"), QStringLiteral("/fake/beyond"));
    }
    EXPECT_EQ(store.portMap(), (QMap<int, QString>{{3, QStringLiteral("/fake/adapter")}}));

    SettingsStore below(store.fileName() + QStringLiteral("/KRM72340.ini")); // below a plain file
    const auto failure = below.save_settings(rig.model, rig.link);
    EXPECT_TRUE(failure.value_or(QString()).contains(below.fileName()))
        << failure.value_or("none").toStdString();

    const std::pair<const char*, const char*> paths[] = {
        {"C:\\data\\set1.csv", "C:\\data\\"}, {"/home/me/a/b\\c.csv", "/home/me/a/b\\"}, {"set1.csv", ""}};
    for (const auto& [path, last] : paths) {
        store.dir_of_path(QString::fromLatin1(path));
        EXPECT_EQ(store.last_dir, last) << path;
    }
}

// A file as a person leaves it after editing: comments, a section of someone else's, a line that is no
// setting, a bracket left open, blanks around "=", one entry missing. ";" ends a line here, "|" stands
// for the line end under test.
QByteArray fileText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(Settings, AHandEditedFileLosesNothingAndOnlyTheEntriesWrittenChange)
{
    // Comments, blanks around "=", a line that is no setting, a bracket left open, a section of someone
    // else's, the rate missing; "|" stands for the line end under test.
    const QByteArray edited = "; kept by hand|[Startup]|Default_Dir = /data/sets/   ; the channel files|"
                              "# was 5|[vref_high0]|10=2.5|no setting|[Ports|COM3=/dev/ttyUSB7||[a0]|1 = 1|"
                              "[Other]|keep=me|[PortNumb]|2=3|[vref_high1]|10=4.096|";
    for (const QByteArray newline : {"\n", "\r\n"}) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("KRM72340.ini"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(QByteArray(edited).replace("|", newline)));
        file.close();
        EXPECT_EQ(Rig().load(path), "/data/sets/|1|3|0|2.5|4.096|4.096");
        SettingsStore store(path);
        EXPECT_EQ(store.portMap(), (QMap<int, QString>{{3, "/dev/ttyUSB7"}}));

        Rig rig;
        store.load_settings(rig.model, rig.link);
        rig.model.a0_state = "0";
        EXPECT_EQ(store.save_changes(rig.model, rig.link), std::nullopt);
        EXPECT_EQ(store.save_default_dir("/data/other/"), std::nullopt);
        EXPECT_EQ(store.save_settings(rig.model, rig.link), std::nullopt);
        EXPECT_EQ(fileText(path), QByteArray(edited)
                                      .replace("/data/sets/", "/data/other/")
                                      .replace("1 = 1", "1 = 0")
                                      .append("|[BitRate]|3=0|")
                                      .replace("|", newline));
    }
}

TEST(Settings, ReadsWhatQSettingsWroteAndWritesWhatItReadsBack)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("KRM72340.ini"));
    SettingsStore store(path);
    const QString texts = QString::fromUtf8("C:\\data\\|/a, b/| lead|trail |@at|semi;colon|say \"hi\"|tab\t|"
                                            "\u00fcnicode \u2126|=eq|bell\a|#hash||\x01"
                                            "2");
    for (const QString& value : texts.split(u'|')) {
        {
            QSettings ini(path, QSettings::IniFormat);
            ini.setValue("Startup/Default_Dir", value);
            ini.setValue("Ports/COM2", value + "!");
            ini.setValue("Other section/key=1", value); // names QSettings %-escapes
        }
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::Append) && file.write("; a note of the user's\n"));
        file.close();
        Rig rig;
        store.load_settings(rig.model, rig.link);
        EXPECT_EQ(store.default_dir, value);
        EXPECT_EQ(store.portMap().value(2), value + "!");

        ASSERT_EQ(store.save_default_dir(value + "?"), std::nullopt);
        const QSettings ini(path, QSettings::IniFormat);
        EXPECT_EQ(ini.value("Startup/Default_Dir").toString(), value + "?");
        EXPECT_EQ(ini.value("Other section/key=1").toString(), value);
        EXPECT_TRUE(fileText(path).contains("\n; a note of the user's\n")) << value.toStdString();
    }
}

TEST(Settings, AWriteWaitsForTheOtherInstanceAndKeepsWhatItWrote)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("KRM72340.ini"));
    ASSERT_EQ(SettingsStore(path).save_settings(Rig().model, Rig().link), std::nullopt);

    // This process plays the other instance halfway through its write of A0: it holds the lock beside the
    // file and has read the file.
    const int lock =
        ::open(QFile::encodeName(dir.filePath(".KRM72340.ini.lock")).constData(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    IniFile other(fileText(path));

    // Meanwhile this instance picks a port.
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(lock); // the lock belongs to the other instance alone
        Rig rig;
        SettingsStore store(path);
        store.load_settings(rig.model, rig.link);
        rig.link.PortNumber = 9;
        ::_exit(store.save_changes(rig.model, rig.link) ? 1 : 0);
    }
    // Time enough for its write to land, were it not waiting for the lock.
    int status = -1;
    for (int waited = 0; waited < 50 && ::waitpid(child, &status, WNOHANG) == 0; ++waited)
        ::usleep(10000);
    other.setValue("a0", "1", "1");
    ASSERT_EQ(files::replaceContents(QFile::encodeName(path), other.text()), std::nullopt);
    ::close(lock);
    if (status == -1)
        ::waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Rig().load(path), "|1|9|0|10|0|0");

    // At exit an instance writes the five entries it uses, its own port included.
    Rig rig;
    SettingsStore store(path);
    store.load_settings(rig.model, rig.link);
    rig.link.PortNumber = 7;
    rig.model.vref_high[1] = 1.5;
    ASSERT_EQ(store.save_settings(rig.model, rig.link), std::nullopt);
    EXPECT_EQ(Rig().load(path), "|1|7|0|10|1.5|1.5");
}

} // namespace
