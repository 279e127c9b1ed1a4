// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "support/scratch.h"
#include "ui/connection_line.h"

#include <QTimer>

namespace {

class Startup : public AppFixture {};

TEST_F(Startup, FirstRunShowsWhatEmptySettingsGiveAndSavesThemOnClose)
{
    start({});
    EXPECT_EQ(w().referenceBox()->text(), "0");
    EXPECT_EQ(w().a0Button()->text(), "Change Address\nA0= 0 ");
    EXPECT_TRUE(w().a0Button()->styleSheet().contains("255, 128, 128"));
    // No port chosen yet: the bus reads as released everywhere.
    EXPECT_FALSE(board->isOpen());
    EXPECT_EQ(w().codeBox(0)->text(), "FFFF");
    EXPECT_EQ(w().maxBankBox()->text(), "65535");
    w().close();
    EXPECT_EQ(ends, 1);
    for (const char* key : {"vref_high0/10", "a0/1", "PortNumb/2", "BitRate/3"})
        EXPECT_EQ(stored(key), "0") << key;
}

TEST_F(Startup, StoredBankOneOpensBlueReadsTheChipAndWritesEveryChannelBackOnce)
{
    start(onCom1({{"a0/1", "1"}, {"vref_high0/10", "10"}, {"vref_high1/10", "2.5"}}),
          [](sim::SimulatedBoard& b) {
              for (int reg = 0; reg < 24; ++reg)
                  b.chip(0x75)->setDacRegister(reg, 40 * reg);
          });
    EXPECT_EQ(w().a0Button()->text(), "Change Address\nA0= 1 ");
    EXPECT_TRUE(w().a0Button()->styleSheet().contains("192, 192, 255"));
    EXPECT_EQ(w().referenceBox()->text(), "2.5");
    EXPECT_EQ(board->lineSettings(), "9600,N,8,1");
    EXPECT_EQ(w().codeBox(5)->text(), "C8");
    EXPECT_EQ(volt(5)->text(), "0.488");
    EXPECT_EQ(model().cur_chan, 24);
    // Every box changed from its placeholder, so each row wrote its channel back once, in row order.
    std::vector<std::pair<int, int>> expected;
    for (int reg = 0; reg < 24; ++reg)
        expected.emplace_back(reg, 40 * reg);
    EXPECT_EQ(tap->dacWrites(), expected);
    // Before them: the line check (no START or STOP in it), the presence probe, then the 24 register reads
    // and the bank status read, each a pointer write and a word read.
    EXPECT_EQ(tap->requests.substr(0, 7), "DRSrSdS");
    const auto frames = bustrace::decode(tap->requests);
    ASSERT_EQ(frames.size(), 1u + 2 * 25u + 24u);
    EXPECT_EQ(frames[0], std::vector<int>{0xEA});
    for (int n = 0; n < 25; ++n) {
        EXPECT_EQ(frames[1 + 2 * n], (std::vector<int>{0xEA, n < 24 ? n : 0x3F}));
        EXPECT_EQ(frames[2 + 2 * n].front(), 0xEB);
    }
    EXPECT_EQ(w().connectionLine()->parts(),
              QStringList({"COM1 (simulated board) open", "lines OK", "chip answers at 0x75"}));
    w().close();
    EXPECT_EQ(stored("a0/1"), "1");
    EXPECT_EQ(stored("vref_high1/10"), "2.5");
}

// The read-back wire broken on a working chip: the start-up read must not turn FFFF into writes of 1023.
TEST_F(Startup, WithTheReadBackBrokenNothingReachesTheChipAndTheWindowSaysWhy)
{
    start(onCom1({{"vref_high0/10", "10"}}), [](sim::SimulatedBoard& b) {
        b.setFaults({true, false, -1});
        b.chip(0x74)->setDacRegister(4, 300);
    });
    EXPECT_EQ(tap->dacWrites().size(), 0u);
    EXPECT_EQ(tap->requests, "DRSrSdS");
    EXPECT_EQ(chip().dacRegister(4), 300);
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].contains("DSR")) << reports[0].toStdString();
    EXPECT_TRUE(w().connectionLine()->parts().join(' ').contains("DSR is never asserted"));
    // No placeholder is left: the boxes show what the program holds.
    for (int row = 0; row < 24; ++row) {
        EXPECT_EQ(volt(row)->text(), "0") << row;
        EXPECT_EQ(w().codeBox(row)->text(), "0") << row;
    }
    EXPECT_EQ(w().maxBankBox()->text(), "");

    reports.clear();
    typeInto(volt(4), "5"); // each edit is a command that would touch the chip: each says so once
    EXPECT_EQ(reports.size(), 2) << "the deletion and the typed digit";
    EXPECT_EQ(tap->dacWrites().size(), 0u);
}

TEST_F(Startup, SettingsThatCannotBeWrittenAreReportedOnceAndTheProgramStillEnds)
{
    start();
    QFile blocker(dir.filePath("blocker")); // a path below a regular file can never be created, even by root
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    bench->settings = model::SettingsStore(dir.filePath("blocker/KRM72340.ini"));
    QTest::mouseClick(w().a0Button(), Qt::LeftButton);
    ASSERT_EQ(reports.size(), 1); // when the change could not be kept
    EXPECT_TRUE(reports[0].contains("blocker/KRM72340.ini")) << reports[0].toStdString();
    QTest::mouseClick(w().a0Button(), Qt::LeftButton);
    typeInto(volt(0), "1.5");
    w().close();
    EXPECT_EQ(reports.size(), 1);
    EXPECT_EQ(ends, 1);
}

TEST_F(Startup, ABusTraceCutShortIsReportedOnce)
{
    tracePath = QFile::encodeName(dir.filePath("bus.vcd"));
    {
        const scratch::SizeLimit limit(4096); // the first read of the chip alone needs more
        start();
        click("Command5");
    }
    ASSERT_EQ(reports.size(), 1);
    EXPECT_EQ(reports[0], "The bus trace " + dir.filePath("bus.vcd") +
                              " could not be written completely: File too large.");
    EXPECT_EQ(bench->flushTrace(), reports[0]); // for the line on stderr at exit
}

TEST_F(Startup, PortFailureMidCommandIsReportedOnceWithTheBusyCursorGone)
{
    startWith({{3, 512}});
    auto readDac = [this](long failAfter) {
        tap->failAfter = failAfter < 0 ? -1 : static_cast<long>(tap->requests.size()) + failAfter;
        click("Command5");
    };
    Qt::CursorShape during = Qt::ArrowCursor;
    QTimer::singleShot(20, window.get(), [&] { during = QApplication::overrideCursor()->shape(); });
    readDac(1000); // inside the reads
    EXPECT_EQ(during, Qt::WaitCursor);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].contains("Input/output error"));
    // Inside the change cascade of the refresh, under a row set by the refresh itself.
    model().vref_high_cur = 5;
    readDac(7650 + 100);
    EXPECT_EQ(reports.size(), 2);
    readDac(-1);
    EXPECT_EQ(reports.size(), 2);
}

} // namespace
