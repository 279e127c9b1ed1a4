#include "app/app_fixture.h"

#include "app/widgets.h"
#include "panels/otp_writer.h"
#include "support/qstring_printer.h"

#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include <utility>
#include <vector>

namespace {

using Writes = std::vector<std::pair<int, int>>;

class OtpWriterTest : public AppFixture {
protected:
    void open(std::vector<std::pair<int, int>> registers)
    {
        start(onCom1({{"vref_high0/10", "10"}}), [registers](sim::SimulatedBoard& b) {
            for (const auto& [reg, code] : registers)
                b.chip(0x74)->setDacRegister(reg, code);
        });
        writer = new panels::OtpWriter(w());
        writer->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(writer));
        tap->clear();
    }

    void down(int times = 1)
    {
        for (int k = 0; k < times; ++k)
            QTest::mouseClick(writer->arrows()->downArrow(), Qt::LeftButton);
    }
    void up() { QTest::mouseClick(writer->arrows()->upArrow(), Qt::LeftButton); }
    void write() { QTest::mouseClick(writer->writeButton(), Qt::LeftButton); }
    QString shown() { return writer->registerLabel()->text(); }

    panels::OtpWriter* writer = nullptr;
};

TEST_F(OtpWriterTest, ListPutsC1AndC2LastAndBurnsTheRegisterShown)
{
    open({{0, 100}, {18, 333}, {19, 444}, {20, 700}});
    EXPECT_EQ(shown(), "1");
    EXPECT_EQ(writer->voltBox()->text(), w().voltBox(0)->text());
    EXPECT_EQ(writer->codeBox()->text(), "64");
    up();
    EXPECT_EQ(shown(), "1");

    down(18);
    EXPECT_EQ(shown(), "19");
    EXPECT_EQ(writer->voltBox()->text(), w().voltBox(20)->text());
    EXPECT_EQ(writer->codeBox()->text(), "2BC");
    write();
    EXPECT_EQ(tap->otpWrites(), (Writes{{20, 700}}));
    EXPECT_EQ(chip().otpCode(0, 20), 700);
    EXPECT_EQ(chip().resets(), 1);
    EXPECT_EQ(chip().bankStatus(), 1);
    EXPECT_EQ(w().maxBankBox()->text(), "1");
    EXPECT_TRUE(tap->dacWrites().empty());

    tap->clear();
    down(4);
    EXPECT_EQ(shown(), "c1");
    EXPECT_EQ(writer->codeBox()->text(), "14D");
    write();
    EXPECT_EQ(tap->otpWrites(), (Writes{{18, 333}}));
    EXPECT_EQ(chip().otpCode(1, 18), 333);
    EXPECT_EQ(w().maxBankBox()->text(), "2");

    down(2);
    EXPECT_EQ(shown(), "c2");
    EXPECT_EQ(writer->codeBox()->text(), "1BC");
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(OtpWriterTest, BurnsTheModelsCodeEvenWhenTheShownCopyIsOld)
{
    open({{0, 100}});
    const QString oldVolt = writer->voltBox()->text();
    w().activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([this] { return QApplication::activeWindow() == window.get(); }));
    typeInto(volt(0), "2.5");
    leave(volt(0));
    EXPECT_EQ(writer->voltBox()->text(), oldVolt);
    EXPECT_EQ(writer->codeBox()->text(), "64");

    tap->clear();
    write();
    EXPECT_EQ(tap->otpWrites(), (Writes{{0, 256}}));
    EXPECT_EQ(chip().otpCode(0, 0), 256);
    EXPECT_EQ(writer->codeBox()->text(), "64");
}

} // namespace
