// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "files/regular_file.h"
#include "model/channel_model.h"
#include "model/ini_file.h"
#include "model/numbers.h"
#include "model/settings_store.h"
#include "serial/serial_link.h"
#include "support/bench_steps.h"

#include "support/qstring_printer.h"
#include "support/recording_port.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/stat.h>
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

// The texts of numbers, voltages (truncated toward minus infinity, never rounded) and codes.
TEST(Numbers, DisplayTexts)
{
    const std::tuple<QString (*)(double), double, const char*> cases[] = {
        {number_text, 0.1 + 0.2, "0.3"}, {number_text, -0.0, "0"},        {number_text, 1e20, "1E+20"},
        {volt_text, -0.0005, "-0.001"},  {volt_text, 2.4975586, "2.497"}, {code_text, 2.5, "2"},
        {code_text, kNaN, "0"},          {code_text, kInf, "FFFFFFFF"},
    };
    for (const auto& [text, value, shown] : cases)
        EXPECT_EQ(text(value), shown) << value;
}

TEST(Numbers, IntegerConversionRoundsHalfToEvenAndRejectsOverflow)
{
    constexpr std::nullopt_t no = std::nullopt;
    // value, to_int16, to_int32
    const std::tuple<double, std::optional<qint16>, std::optional<qint32>> cases[] = {
        {2.5, 2, 2},    {3.5, 4, 4}, {-2.51, -3, -3}, {32767.5, no, 32768}, {2147483647.5, no, no},
        {kNaN, no, no},
    };
    for (const auto& [value, i16, i32] : cases) {
        EXPECT_EQ(to_int16(value), i16) << value;
        EXPECT_EQ(to_int32(value), i32) << value;
    }
}

// The model and the link over a dead bus, where every word read is 65535.
struct Rig {
    QTemporaryDir dir;
    RecordingPort* tap = nullptr;
    app::Bench bench{dir.filePath("unused.ini"), [this] {
                         auto port = std::make_unique<RecordingPort>();
                         tap = port.get();
                         return port;
                     }()};
    ChannelModel& model = bench.channels();
    serial::SerialLink& link = bench.link();

    // Loads the settings over bank slots holding 7 and 8, then tells what that left: default dir | A0 | port
    // | rate | bank slots 0 and 1 | reference in use; the entries named unusable into named.
    QString load(const QString& path, QStringList* named = nullptr)
    {
        SettingsStore store(path);
        model.vref_high = {7, 8};
        const QStringList warnings = store.load_settings(model, link);
        if (named)
            *named = warnings;
        return QStringLiteral("%1|%2|%3|%4|%5|%6|%7")
            .arg(store.default_dir, model.a0_state, QString::number(link.PortNumber),
                 QString::number(link.BitRate), number_text(model.vref_high[0]),
                 number_text(model.vref_high[1]), number_text(model.vref_high_cur))
            .replace(QDir::homePath() + '/', QStringLiteral("~/"));
    }
};

// A reference range that converts nothing leaves a channel alone; reading the chip is 25 reads, then the
// reference in use is stored in the A0 bank's slot.
TEST(ChannelModel, ReadAllChannelsIs25ReadsAndStoresTheReferenceInTheA0Bank)
{
    Rig rig;
    rig.model.vref_high_cur = kInf;
    EXPECT_FALSE(rig.model.set_channel_voltage(1, 1));
    rig.model.vref_high_cur = 2.5;
    rig.model.a0_state = QStringLiteral("2"); // any text but "0" selects bank 1
    steps::readAll(rig.bench);
    EXPECT_EQ(rig.tap->requests.size(), 7650u); // 25 pointer writes and word reads
    EXPECT_EQ(rig.model.vref_high, (std::array<double, 2>{0, 2.5}));
    EXPECT_THROW(rig.model.decmal_to_binary8(256), FatalError);
}

bool writeFile(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

QByteArray fileText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(Settings, EachUnusableEntryFallsBackAloneAndIsNamed)
{
    // A hand-edited file, values unquoted: ";" ends a line, and P, R, A, H0, H1, D stand for the keys.
    const std::pair<const char*, const char*> keys[] = {
        {"P=", "[PortNumb]\n2="},     {"R=", "[BitRate]\n3="},      {"A=", "[a0]\n1="},
        {"H0=", "[vref_high0]\n10="}, {"H1=", "[vref_high1]\n10="}, {"D=", "[Startup]\nDefault_Dir="},
    };
    // file, what the load leaves, the entries named ("" for none; "file" for the whole store)
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"", "|0|0|0|0|0|0", ""},          // first run: no file
        {"<dir>", "|0|0|0|0|0|0", "file"}, // a folder where the file should be
        {"<fifo>", "|0|0|0|0|0|0", "file"},
        {"P=3.5;R=9600;A=0;H0=2.5;H1=4.5;D=/d/", "/d/|0|4|9600|2.5|4.5|2.5", ""},
        {"P=3;R=9600, 8;A=1;H0=2.5V;H1=2,5", "|1|3|9600|2.5|2|2",
         "[vref_high0] 10 [vref_high1] 10 [BitRate] 3"},
        {"P=3;A=10;H0=1.5;H1=4.5", "|0|3|0|1.5|4.5|1.5", "[a0] 1"},
        {"P=3;A=01;H0=1.5", "|0|3|0|1.5|0|1.5", "[a0] 1"},
        {"P=3;A=true", "|0|3|0|0|0|0", "[a0] 1"},
        {"P=40000;R=3000000000;A=1;H0=1.5;H1=2.5;D=/d/", "/d/|1|0|0|1.5|2.5|2.5", "[PortNumb] 2 [BitRate] 3"},
        {"P=3;R=19200;A=1;H0=1.5;H1=1e999", "|1|3|19200|1.5|0|0", "[vref_high1] 10"},
    };
    for (const auto& [ini, expected, named] : cases) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("KRM72340.ini"));
        QString text = QString::fromLatin1(ini);
        for (const auto& [name, key] : keys)
            text.replace(QLatin1String(name), QLatin1String(key));
        ASSERT_TRUE(text == "<dir>"    ? QDir().mkdir(path)
                    : text == "<fifo>" ? ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0
                                       : text.isEmpty() || writeFile(path, text.replace(';', '\n').toUtf8()));
        QStringList warnings;
        EXPECT_EQ(Rig().load(path, &warnings), expected) << ini;
        QStringList entries;
        for (const QString& warning : warnings) {
            static const QRegularExpression entry(QStringLiteral("\\[\\w+\\] \\w+"));
            const QString found = entry.match(warning).captured();
            entries << (found.isEmpty() && warning.contains(path) ? QStringLiteral("file") : found);
        }
        EXPECT_EQ(entries.join(' '), QLatin1String(named)) << ini << "\n"
                                                           << warnings.join('\n').toStdString();
    }
}

TEST(Settings, SaveRoundTripAndAnUnwritableStore)
{
    QTemporaryDir dir;
    SettingsStore store(dir.filePath(QStringLiteral("KRM72340.ini")));
    Rig rig;
    rig.model.vref_high = {2.5, 4.096};
    rig.model.a0_state = QStringLiteral("1");
    rig.link.PortNumber = 3;
    rig.link.BitRate = 115200;
    ASSERT_EQ(store.save_settings(rig.model, rig.link), std::nullopt);
    EXPECT_EQ(Rig().load(store.fileName()), "|1|3|115200|2.5|4.096|4.096");

    SettingsStore below(store.fileName() + QStringLiteral("/KRM72340.ini")); // below a plain file
    const QString failure = below.save_settings(rig.model, rig.link).value_or("none");
    EXPECT_TRUE(failure.contains(below.fileName())) << qPrintable(failure);
}

TEST(Settings, AHandEditedFileLosesNothingAndOnlyTheEntriesWrittenChange)
{
    for (const QByteArray newline : {"\n", "\r\n"}) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("KRM72340.ini")), adapter = dir.filePath("ttyUSB7");
        // Comments, blanks around "=", a line that is no setting, a bracket left open, a section of
        // someone else's, the rate missing; "|" stands for the line end under test.
        const QByteArray edited = "; kept by hand|[Startup]|Default_Dir = /data/sets/   ; the channel files|"
                                  "# was 5|[vref_high0]|10=2.5|no setting|[Ports|COM17=beyond|COM3=" +
                                  QFile::encodeName(adapter) +
                                  "||[a0]|1 = 1|[Other]|keep=me|[PortNumb]|2=3|[vref_high1]|10=4.096|";
        ASSERT_TRUE(writeFile(path, QByteArray(edited).replace("|", newline)));
        EXPECT_EQ(Rig().load(path), "/data/sets/|1|3|0|2.5|4.096|4.096");
        SettingsStore store(path);
        EXPECT_EQ(store.portMap(), (QMap<int, QString>{{3, adapter}}));

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
    const QString texts =
        QString::fromUtf8("C:\\data\\|/a, b/| lead|trail |@Invalid()|semi;colon|say \"hi\"|tab\t|"
                          "\u00fcnicode \u2126|=eq|bell\a|#hash||\x01"
                          "2");
    const QStringList values = texts.split(u'|');
    for (qsizetype k = 0; k < values.size(); ++k) {
        // Each text is read as QSettings wrote it, and the next one written for QSettings to read.
        const QString &value = values[k], &next = values[(k + 1) % values.size()];
        {
            QSettings ini(path, QSettings::IniFormat);
            ini.setValue("Startup/Default_Dir", value);
            ini.setValue("Other section/key=1", value); // names QSettings %-escapes
        }
        Rig rig;
        store.load_settings(rig.model, rig.link);
        EXPECT_EQ(store.default_dir, value);

        ASSERT_EQ(store.save_default_dir(next), std::nullopt);
        const QSettings ini(path, QSettings::IniFormat);
        EXPECT_EQ(ini.value("Startup/Default_Dir").toString(), next);
        EXPECT_EQ(ini.value("Other section/key=1").toString(), value);
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
    EXPECT_EQ(Rig().load(path), "|1|9|0|0|0|0");
}

// Two instances started on one file, each changing one entry: neither close puts back what the other
// changed.
TEST(Settings, TwoInstancesClosingKeepWhatTheOtherChanged)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("KRM72340.ini"));
    ASSERT_TRUE(writeFile(path, "[a0]\n1=0\n[PortNumb]\n2=3\n[BitRate]\n3=9600\n[vref_high0]\n10=2.5\n"
                                "[vref_high1]\n10=5\n"));
    Rig first, second;
    SettingsStore firstStore(path), secondStore(path);
    firstStore.load_settings(first.model, first.link);
    secondStore.load_settings(second.model, second.link);
    first.link.PortNumber = 5;
    second.model.a0_state = QStringLiteral("1");
    second.model.vref_high[1] = 4.096;
    ASSERT_EQ(firstStore.save_settings(first.model, first.link), std::nullopt);
    ASSERT_EQ(secondStore.save_settings(second.model, second.link), std::nullopt);
    EXPECT_EQ(Rig().load(path), "|1|5|9600|2.5|4.096|4.096");
}

// A file of any sensible size is read and kept whole; one too large for settings is left as it is.
TEST(Settings, ALargeFileIsReadAndKeptWholeAndAHugeOneLeftAlone)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("KRM72340.ini"));
    const QByteArray padding = "; " + QByteArray(2 << 20, 'x') + "\n";
    const QByteArray large = padding + "[PortNumb]\n2=3\n[Tail]\nlast=line";
    ASSERT_TRUE(writeFile(path, large));
    Rig rig;
    SettingsStore store(path);
    EXPECT_TRUE(store.load_settings(rig.model, rig.link).isEmpty());
    EXPECT_EQ(rig.link.PortNumber, 3);
    rig.link.PortNumber = 4;
    ASSERT_EQ(store.save_changes(rig.model, rig.link), std::nullopt);
    EXPECT_EQ(fileText(path), QByteArray(large).replace("2=3", "2=4"));

    const QByteArray huge = QByteArray(17 << 20, ';') + "\n[PortNumb]\n2=3\n";
    ASSERT_TRUE(writeFile(path, huge));
    QStringList named;
    EXPECT_EQ(Rig().load(path, &named), "|0|0|0|0|0|0");
    ASSERT_EQ(named.size(), 1);
    EXPECT_TRUE(named[0].contains(path) && named[0].contains("16 MiB")) << named[0].toStdString();
    SettingsStore hugeStore(path);
    hugeStore.load_settings(rig.model, rig.link);
    rig.link.PortNumber = 6;
    EXPECT_NE(hugeStore.save_settings(rig.model, rig.link), std::nullopt);
    EXPECT_EQ(fileText(path), huge);
}

// A writer killed in the middle of its write leaves its temporary; the next write removes it, and nothing
// else beside the file.
TEST(Settings, AWriteRemovesTheTemporariesOfKilledWriters)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("KRM72340.ini"));
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    const QString stale = path + QStringLiteral(".tmp%1.k3x9").arg(gone);
    const QString live = path + QStringLiteral(".tmp%1.a1b2").arg(::getpid());
    const QString others[] = {live, path + ".tmpnotours", path + ".bak", dir.filePath("other.ini.tmp1.x")};
    ASSERT_TRUE(writeFile(stale, "half"));
    for (const QString& other : others)
        ASSERT_TRUE(writeFile(other, "kept"));
    Rig rig;
    rig.link.PortNumber = 2;
    ASSERT_EQ(SettingsStore(path).save_settings(rig.model, rig.link), std::nullopt);
    EXPECT_FALSE(QFile::exists(stale));
    for (const QString& other : others)
        EXPECT_TRUE(QFile::exists(other)) << other.toStdString();
}

} // namespace
