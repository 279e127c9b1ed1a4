// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "ui/batch_window.h"

#include <QCheckBox>

namespace {

class SettingsInUse : public AppFixture {
protected:
    // Opens the batch window, which reads the settings again, and closes it.
    void reload()
    {
        const std::function<void()> closeIt = [&closeIt] {
            for (QWidget* top : QApplication::topLevelWidgets())
                if (auto* batch = qobject_cast<ui::BatchWindow*>(top); batch && batch->isVisible()) {
                    batch->close();
                    return;
                }
            QTimer::singleShot(0, closeIt);
        };
        QTimer::singleShot(0, closeIt);
        click("Command4");
    }
};

TEST_F(SettingsInUse, AreWrittenAsTheyChangeAndAReloadFollowsWhatAnotherInstanceStored)
{
    start(onCom1({{"vref_high0/10", "10"}, {"vref_high1/10", "10"}}));
    press(w().a0Button());
    typeInto(w().referenceBox(), "2.5");
    leave(w().referenceBox());
    EXPECT_EQ(stored("a0/1") + " " + stored("vref_high1/10"), "1 2.5");
    reload();
    EXPECT_EQ(w().a0Button()->text(), "Change Address\nA0= 1 ");
    EXPECT_EQ(w().referenceBox()->text(), "2.5");

    {
        QSettings other(settingsPath, QSettings::IniFormat);
        other.setValue("a0/1", "0");
        other.setValue("vref_high0/10", "3.3");
        other.setValue("BitRate/3", "19200");
    }
    reload();
    EXPECT_EQ(w().a0Button()->text(), "Change Address\nA0= 0 ");
    EXPECT_EQ(model().vref_high_cur, 3.3);
    EXPECT_EQ(board->lineSettings(), "19200,N,8,1");
    EXPECT_EQ(stored("vref_high0/10"), "3.3") << "what the reload brought in is not written back over it";
    EXPECT_TRUE(reports.isEmpty()) << reports.join("\n").toStdString();
}

// A write of the settings or of the trace that fails is said once where the user is, and the settings lost
// at the end are said before the program ends.
TEST_F(SettingsInUse, AFailedWriteOfTheSettingsOrTheTraceIsReportedOnceAndAtTheEnd)
{
    tracePath = file("bus.vcd");
    start();
    settingsPath = file("blocker", "") + "/KRM72340.ini"; // below a regular file: never written
    bench->settings() = model::SettingsStore(settingsPath);
    {
        const scratch::SizeLimit limit(20000); // the trace is past it already, the settings file is not
        press(w().a0Button());
        press(w().a0Button());
    }
    ASSERT_EQ(reports.size(), 2) << reports.join('\n').toStdString();
    EXPECT_TRUE(reports.filter("KRM72340.ini").size() == 1 && reports.filter("bus.vcd").size() == 1)
        << reports.join('\n').toStdString();
    closeProgram();
    ASSERT_EQ(reports.size(), 3);
    EXPECT_TRUE(reports[2].contains("KRM72340.ini")) << reports[2].toStdString();
}

// Hand-edited entries that cannot be used as they stand: each gets its own first-run value, said in one
// report before the port opens, and the others are used; the chip is addressed as A0 = 0.
TEST_F(SettingsInUse, EntriesThatCannotBeUsedAreNamedAndFallBackAlone)
{
    start(onCom1({{"a0/1", "10"}, {"BitRate/3", "3000000000"}, {"vref_high0/10", "2.5"}}));
    ASSERT_EQ(reports.size(), 1) << reports.join('\n').toStdString();
    EXPECT_TRUE(reports[0].contains("[a0] 1") && reports[0].contains("[BitRate] 3"))
        << reports[0].toStdString();
    EXPECT_EQ(bench->link().PortNumber, 1);
    EXPECT_EQ(model().vref_high_cur, 2.5);
    const std::vector<int> sent = addresses();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), 0xE8) << "the presence probe at 0x74";
    EXPECT_EQ(w().a0Button()->text(), "Change Address\nA0= 0 ");
}

// "Show all 24 channels" widens the window to the second column and is remembered under [View] AllChannels,
// which older files lack: without it, or with a value that is not 0 or 1, the 18 rows show. A program that
// never touched the toggle leaves the entry out of the file.
TEST_F(SettingsInUse, TheAllChannelsToggleIsRememberedWhereChangedAndAFileWithoutItShowsTheEighteenRows)
{
    const struct {
        const char* stored; // nullptr: the file has no such entry
        bool shown;
        bool clicked;
        const char* after; // the entry once the program has ended ("" for none)
    } cases[] = {
        {nullptr, false, false, ""},
        {nullptr, false, true, "1"},
        {"1", true, true, "0"},
        {"yes", false, true, "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.stored ? c.stored : "none") + (c.clicked ? ", clicked" : ""));
        QFile::remove(dir.filePath("KRM72340.ini"));
        reports.clear();
        Entries entries = onCom1();
        if (c.stored)
            entries.insert({"View/AllChannels", c.stored});
        start(entries);
        const auto inView = [this] { return !volt(16)->visibleRegion().isEmpty(); }; // row "17"
        EXPECT_EQ(inView(), c.shown);
        EXPECT_EQ(w().allChannelsBox()->isChecked(), c.shown);
        EXPECT_EQ(reports.size(), std::string(c.stored ? c.stored : "") == "yes" ? 1 : 0);
        if (c.clicked) {
            QTest::mouseClick(w().allChannelsBox(), Qt::LeftButton, {}, QPoint(4, 4));
            settle();
            EXPECT_EQ(inView(), !c.shown);
            EXPECT_EQ(stored("View/AllChannels"), c.after) << "written as it changed";
        }
        closeProgram();
        EXPECT_EQ(stored("View/AllChannels"), c.after);
        window.reset();
        bench.reset();
    }
}

} // namespace
