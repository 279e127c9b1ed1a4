#include "app_fixture.h"

#include "app/widgets.h"

#include <QPushButton>
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
    EXPECT_EQ(volt(23)->text(), "0");

    w().close();
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(stored("vref_high0/10"), "0");
    EXPECT_EQ(stored("a0/1"), "0");
    EXPECT_EQ(stored("PortNumb/2"), "0");
    EXPECT_EQ(stored("BitRate/3"), "0");
    EXPECT_TRUE(reports.isEmpty());
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
    EXPECT_EQ(volt(5)->text(), "0.488"); // 200 * 2.5 / 1024 = 0.48828
    EXPECT_EQ(model().cur_chan, 24);
    // Every box changed from its placeholder, so each row wrote its channel back, in row order, with the
    // code its displayed (truncated) voltage converts to.
    const auto writes = tap->dacWrites();
    ASSERT_EQ(writes.size(), 24u);
    for (int reg = 0; reg < 24; ++reg) {
        EXPECT_EQ(writes[reg].first, reg);
        EXPECT_EQ(writes[reg].second, 40 * reg);
        EXPECT_EQ(board->chip(0x75)->dacRegister(reg), 40 * reg);
    }
    w().close();
    EXPECT_EQ(stored("a0/1"), "1");
    EXPECT_EQ(stored("vref_high1/10"), "2.5");
    EXPECT_EQ(stored("vref_high0/10"), "10");
}

TEST_F(Startup, SettingsThatCannotBeWrittenAreReportedAndTheProgramStillEnds)
{
    start();
    // A path below a regular file can never be created, whoever runs the test.
    QFile blocker(dir.filePath("blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    bench->settings = model::SettingsStore(dir.filePath("blocker/KRM72340.ini"));
    w().close();
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].contains("blocker/KRM72340.ini")) << reports[0].toStdString();
    EXPECT_EQ(ends, 1);
}

TEST_F(Startup, PortFailureInTheMiddleOfACommandIsReportedOnceAndTheWindowGoesOn)
{
    start(onCom1({{"vref_high0/10", "10"}}),
          [](sim::SimulatedBoard& b) { b.chip(0x74)->setDacRegister(3, 512); });
    tap->failAt = static_cast<long>(tap->requests.size()) + 1000;
    // The busy cursor shows while the command works, and goes when it fails.
    Qt::CursorShape during = Qt::ArrowCursor;
    QTimer::singleShot(20, window.get(), [&] {
        if (QApplication::overrideCursor())
            during = QApplication::overrideCursor()->shape();
    });
    QTest::mouseClick(w().commandButton("Command5"), Qt::LeftButton);
    EXPECT_EQ(during, Qt::WaitCursor);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].contains("Input/output error"));
    // A failure inside the cascade (a box changed by the refresh) still ends the command with one report.
    tap->failAt = -1;
    model().vref_high_cur = 5;
    tap->failAt = static_cast<long>(tap->requests.size()) + 7650 + 100;
    QTest::mouseClick(w().commandButton("Command5"), Qt::LeftButton);
    EXPECT_EQ(reports.size(), 2);
    tap->failAt = -1;
    QTest::mouseClick(w().commandButton("Command5"), Qt::LeftButton);
    EXPECT_EQ(reports.size(), 2);
}

TEST(Layout, TwipsMapToPixelsAtTheScreensDpi)
{
    QWidget probe;
    const int dpi = probe.logicalDpiX();
    EXPECT_EQ(app::twipsToPixels(&probe, 1440), dpi);
    EXPECT_EQ(app::twipsToPixels(&probe, 15 * dpi / 96), 1);
}

} // namespace
