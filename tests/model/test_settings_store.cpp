#include "model/settings_store.h"

#include "model/channel_model.h"
#include "model/numbers.h"
#include "serial/serial_link.h"
#include "support/fake_grid.h"
#include "support/recording_port.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include "support/qstring_printer.h"

#include <gtest/gtest.h>

#include <map>

using namespace model;

namespace {

// The state as start-up leaves it before the settings are read.
struct Rig {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("KRM72340.ini"));
    RecordingPort port;
    bus::I2cMaster i2c{port};
    ChannelModel model{i2c};
    serial::SerialLink link{port};
    FakeGrid box{model};
    SettingsStore store{path};

    Rig()
    {
        model.setGrid(&box);
        model.vref_high = {7, 8};
        box.reference = QStringLiteral("10");
    }

    void put(const std::map<QString, QString>& entries)
    {
        QSettings settings(path, QSettings::IniFormat);
        for (const auto& [key, value] : entries)
            settings.setValue(key, value);
    }

    void load() { store.load_settings(model, link); }
};

void expectFirstRun(const Rig& rig)
{
    EXPECT_EQ(rig.store.default_dir, QString());
    EXPECT_EQ(rig.model.vref_high[0], 0);
    EXPECT_EQ(rig.model.vref_high[1], 0);
    EXPECT_EQ(rig.model.a0_state, QStringLiteral("0"));
    EXPECT_EQ(rig.model.vref_high_cur, 0);
    EXPECT_EQ(rig.link.PortNumber, 0);
    EXPECT_EQ(rig.link.BitRate, 0);
    EXPECT_EQ(rig.box.reference, QStringLiteral("0"));
}

TEST(Settings, RoundTripUsesTheOldSectionsAndKeys)
{
    Rig rig;
    rig.model.vref_high = {2.5, 4.096};
    rig.model.a0_state = QStringLiteral("1");
    rig.link.PortNumber = 3;
    rig.link.BitRate = 115200;
    ASSERT_EQ(rig.store.save_settings(rig.model, rig.link), std::nullopt);
    ASSERT_EQ(rig.store.save_default_dir(QStringLiteral("C:\\data\\")), std::nullopt);
    EXPECT_EQ(rig.store.default_dir, QString()); // saving does not change the one in use

    const QSettings raw(rig.path, QSettings::IniFormat);
    EXPECT_EQ(raw.value(QStringLiteral("vref_high0/10")).toString(), QStringLiteral("2.5"));
    EXPECT_EQ(raw.value(QStringLiteral("vref_high1/10")).toString(), QStringLiteral("4.096"));
    EXPECT_EQ(raw.value(QStringLiteral("a0/1")).toString(), QStringLiteral("1"));
    EXPECT_EQ(raw.value(QStringLiteral("PortNumb/2")).toString(), QStringLiteral("3"));
    EXPECT_EQ(raw.value(QStringLiteral("BitRate/3")).toString(), QStringLiteral("115200"));

    Rig next;
    next.store = SettingsStore(rig.path);
    next.load();
    EXPECT_EQ(next.store.default_dir, QStringLiteral("C:\\data\\"));
    EXPECT_EQ(next.model.vref_high, rig.model.vref_high);
    EXPECT_EQ(next.model.vref_high_cur, 4.096);
    EXPECT_EQ(next.model.a0_state, QStringLiteral("1"));
    EXPECT_EQ(next.link.PortNumber, 3);
    EXPECT_EQ(next.link.BitRate, 115200);
    EXPECT_EQ(next.box.reference, QStringLiteral("4.096"));
}

TEST(Settings, FirstRunAndUnreadableStoreReadAsEmpty)
{
    Rig empty;
    empty.load();
    expectFirstRun(empty);

    Rig unreadable;
    ASSERT_TRUE(QDir().mkdir(unreadable.path)); // a directory where the file should be
    unreadable.load();
    expectFirstRun(unreadable);
}

TEST(Settings, StoredTextsAreReadAsLeadingNumbers)
{
    const struct {
        const char* port;
        const char* a0;
        const char* high0;
        qint16 portNumber;
        double reference;
    } cases[] = {
        {"3.5", "0", "2.5V", 4, 2.5}, {"2.5", "0", "abc", 2, 0}, {"-4", "", "1e2", -4, 100},
        {"COM2", "1", "9", 0, 4.5},   {"2", "2", "9", 2, 4.5},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.put({{QStringLiteral("PortNumb/2"), QString::fromLatin1(c.port)},
                 {QStringLiteral("a0/1"), QString::fromLatin1(c.a0)},
                 {QStringLiteral("vref_high0/10"), QString::fromLatin1(c.high0)},
                 {QStringLiteral("vref_high1/10"), QStringLiteral("4.5")},
                 {QStringLiteral("BitRate/3"), QStringLiteral("9600, 8")}});
        rig.load();
        EXPECT_EQ(rig.link.PortNumber, c.portNumber) << c.port;
        EXPECT_EQ(rig.model.vref_high_cur, c.reference) << c.high0;
        EXPECT_EQ(rig.link.BitRate, 9600);
        EXPECT_EQ(rig.box.reference, number_text(c.reference));
    }
}

TEST(Settings, ValueThatDoesNotFitGivesTheFallbacks)
{
    const struct {
        const char* key;
        const char* value;
        double high0;
        double high1;
    } cases[] = {
        {"PortNumb/2", "70000", 1.5, 2.5},
        {"BitRate/3", "3e9", 1.5, 2.5},
        {"vref_high1/10", "1e400", 1.5, 8}, // slot 1 keeps what it held
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.put({{QStringLiteral("vref_high0/10"), QStringLiteral("1.5")},
                 {QStringLiteral("vref_high1/10"), QStringLiteral("2.5")},
                 {QStringLiteral("a0/1"), QStringLiteral("0")},
                 {QStringLiteral("Startup/Default_Dir"), QStringLiteral("/data/")}});
        rig.put({{QString::fromLatin1(c.key), QString::fromLatin1(c.value)}});
        rig.load();
        EXPECT_EQ(rig.store.default_dir, QDir::homePath() + QStringLiteral("/")) << c.key;
        EXPECT_EQ(rig.model.a0_state, QStringLiteral("1")) << c.key;
        EXPECT_EQ(rig.model.vref_high_cur, 5) << c.key;
        EXPECT_EQ(rig.model.vref_low_cur, 0) << c.key;
        EXPECT_EQ(rig.link.PortNumber, 1) << c.key;
        EXPECT_EQ(rig.link.BitRate, 9600) << c.key;
        EXPECT_EQ(rig.model.vref_high[0], c.high0) << c.key;
        EXPECT_EQ(rig.model.vref_high[1], c.high1) << c.key;
        EXPECT_EQ(rig.box.reference, QStringLiteral("10")) << c.key;
    }
}

TEST(Settings, UnwritableStoreSaysWhichFile)
{
    QTemporaryDir dir;
    QFile blocker(dir.filePath(QStringLiteral("not-a-dir")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    Rig rig;
    SettingsStore store(blocker.fileName() + QStringLiteral("/KRM72340.ini"));

    const auto failure = store.save_settings(rig.model, rig.link);
    ASSERT_TRUE(failure.has_value());
    EXPECT_TRUE(failure->contains(QStringLiteral("KRM72340.ini"))) << failure->toStdString();
    EXPECT_TRUE(store.save_default_dir(QStringLiteral("/x/")).has_value());
}

TEST(Settings, DirOfPathKeepsUpToTheLastSeparator)
{
    const struct {
        const char* path;
        const char* dir;
    } cases[] = {
        {"C:\\data\\set1.csv", "C:\\data\\"},
        {"/home/me/set1.csv", "/home/me/"},
        {"set1.csv", ""},
        {"a/b\\c.csv", "a/b\\"},
        {"/", "/"},
    };
    Rig rig;
    for (const auto& c : cases) {
        rig.store.dir_of_path(QString::fromLatin1(c.path));
        EXPECT_EQ(rig.store.last_dir, QString::fromLatin1(c.dir)) << c.path;
    }
}

TEST(Settings, PortMapListsConfiguredDevices)
{
    Rig rig;
    rig.put({{QStringLiteral("Ports/COM3"), QStringLiteral("/dev/ttyUSB0")},
             {QStringLiteral("Ports/COM16"), QStringLiteral("/dev/ttyS15")},
             {QStringLiteral("Ports/COM17"), QStringLiteral("/dev/ttyS16")}});
    const QMap<int, QString> expected{{3, QStringLiteral("/dev/ttyUSB0")},
                                      {16, QStringLiteral("/dev/ttyS15")}};
    EXPECT_EQ(rig.store.portMap(), expected);
}

} // namespace
