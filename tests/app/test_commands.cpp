#include "app_fixture.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {

class Commands : public AppFixture {
protected:
    void click(const char* name) { QTest::mouseClick(w().commandButton(name), Qt::LeftButton); }
    // Frames on the bus since the last clear: the address byte of each.
    std::vector<int> addresses() const
    {
        std::vector<int> out;
        for (const auto& frame : bustrace::decode(tap->requests))
            if (!frame.bytes.empty())
                out.push_back(frame.bytes.front().value);
        return out;
    }
};

TEST_F(Commands, ReadDacShowsTheChipAndWritesBackOnlyRowsWhoseTextChanged)
{
    start(onCom1({{"vref_high0/10", "10"}}));
    tap->clear();
    click("Command5");
    EXPECT_TRUE(tap->dacWrites().empty()); // the grid already showed what the chip holds

    chip().setDacRegister(4, 0x2A5);
    chip().setDacRegister(20, 7);
    tap->clear();
    click("Command5");
    EXPECT_EQ(w().codeBox(4)->text(), "2A5");
    EXPECT_EQ(tap->dacWrites(), (std::vector<std::pair<int, int>>{{4, 0x2A5}, {20, 7}}));
    EXPECT_EQ(model().cur_chan, 21);
}

TEST_F(Commands, ProgramOtpAllBurnsEveryChannelThenResetsAndShowsTheBankWithoutRefreshing)
{
    start(onCom1({{"vref_high0/10", "10"}}), [](sim::SimulatedBoard& b) {
        for (int reg = 0; reg < 24; ++reg)
            b.chip(0x74)->setDacRegister(reg, 1000 - reg);
    });
    w().commandButton("Command10")->setFocus(); // no box to leave, so nothing refreshes the grid first
    model().code[17] = 12;                      // a hidden channel with a code the grid does not show yet
    const QString shownBefore = w().codeBox(16)->text();
    tap->clear();
    click("Command10");

    const auto burnt = tap->otpWrites();
    ASSERT_EQ(burnt.size(), 24u);
    for (int reg = 0; reg < 24; ++reg)
        EXPECT_EQ(burnt[reg], std::make_pair(reg, reg == 16 ? 12 : 1000 - reg));
    EXPECT_EQ(chip().bankStatus(), 1);
    EXPECT_EQ(chip().otpCode(0, 16), 12);
    EXPECT_EQ(chip().dacRegister(16), 12); // the reset reloaded the burnt bank
    EXPECT_EQ(w().maxBankBox()->text(), "1");
    EXPECT_EQ(w().codeBox(16)->text(), shownBefore);
    EXPECT_EQ(addresses().back(), 0xE9); // ends with the bank status read
}

TEST_F(Commands, ResetReloadsTheChipAndShowsIt)
{
    start(onCom1({{"vref_high0/10", "10"}}));
    chip().setDacRegister(2, 300);
    tap->clear();
    click("Command6");
    EXPECT_EQ(addresses().front(), 0x00); // the general call comes first
    EXPECT_EQ(chip().resets(), 1);
    EXPECT_EQ(w().codeBox(2)->text(), "0");
}

TEST_F(Commands, A0ToggleSwitchesBankReferenceAddressAndLook)
{
    start(onCom1({{"vref_high0/10", "10"}, {"vref_high1/10", "2.5"}}), [](sim::SimulatedBoard& b) {
        b.chip(0x74)->setDacRegister(0, 512);
        b.chip(0x75)->setDacRegister(0, 256);
    });
    EXPECT_EQ(volt(0)->text(), "5");
    tap->clear();
    QTest::mouseClick(w().a0Button(), Qt::LeftButton);
    EXPECT_EQ(w().a0Button()->text(), "Change Address\nA0= 1 ");
    EXPECT_TRUE(w().a0Button()->styleSheet().contains("192, 192, 255"));
    EXPECT_EQ(w().referenceBox()->text(), "2.5");
    EXPECT_EQ(volt(0)->text(), "0.625");
    EXPECT_EQ(addresses().front(), 0xEA);

    QTest::mouseClick(w().a0Button(), Qt::LeftButton);
    EXPECT_EQ(w().a0Button()->text(), "Change Address\nA0= 0 ");
    EXPECT_EQ(w().referenceBox()->text(), "10");
    EXPECT_EQ(volt(0)->text(), "5");
    EXPECT_EQ(model().vref_high[1], 2.5);
}

TEST_F(Commands, CommandClickedDuringTheReadWaitRunsNestedBeforeTheReads)
{
    start(onCom1({{"vref_high0/10", "10"}}));
    tap->clear();
    QTimer::singleShot(20, window.get(), [this] { click("Command6"); });
    click("Command5");
    const auto seen = addresses();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), 0x00); // the nested Reset ran to its end first
    EXPECT_EQ(seen.size(), 1u + 50u + 50u);
}

TEST_F(Commands, AboutShowsTheVersionWithOkOnly)
{
    start();
    QString title, text;
    QTimer::singleShot(0, window.get(), [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        title = box->windowTitle();
        text = box->text();
        EXPECT_EQ(box->buttons().size(), 1);
        box->accept();
    });
    click("Command8");
    EXPECT_EQ(title, "KRM59340 Program.");
    EXPECT_EQ(text, "KRM59340 Eval Software  Rev. " KRM_VERSION_TEXT);
}

} // namespace
