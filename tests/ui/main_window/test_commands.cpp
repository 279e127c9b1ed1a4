// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include <QMessageBox>
#include <QTimer>

namespace {

class Commands : public AppFixture {
protected:
    // The address byte of every frame on the bus since the last clear.
    std::vector<int> addresses() const
    {
        std::vector<int> out;
        for (const auto& frame : bustrace::decode(tap->requests))
            out.push_back(frame.empty() ? -1 : frame.front());
        return out;
    }
};

TEST_F(Commands, ProgramOtpAllBurnsEveryChannelResetsAndShowsTheBankWithoutRefreshing)
{
    startWith({{16, 984}});
    w().commandButton("Command10")->setFocus(); // no box to leave, so nothing refreshes the grid first
    model().code[17] = 12;                      // a hidden channel's code the grid does not show yet
    tap->clear();
    click("Command10");
    const auto burnt = tap->otpWrites();
    ASSERT_EQ(burnt.size(), 24u);
    EXPECT_EQ(burnt[16], std::make_pair(16, 12));
    EXPECT_EQ(chip().dacRegister(16), 12); // the reset reloaded the burnt bank
    EXPECT_EQ(w().maxBankBox()->text(), "1");
    EXPECT_EQ(w().codeBox(16)->text(), "3D8");
    EXPECT_EQ(addresses().front(), 0xE8);
    EXPECT_EQ(addresses().back(), 0xE9); // the bank status read ends it
}

TEST_F(Commands, A0ToggleSwitchesBankReferenceAddressAndLook)
{
    start(onCom1({{"vref_high0/10", "10"}, {"vref_high1/10", "2.5"}}), [](sim::SimulatedBoard& b) {
        b.chip(0x74)->setDacRegister(0, 512);
        b.chip(0x75)->setDacRegister(0, 256);
    });
    tap->clear();
    QTest::mouseClick(w().a0Button(), Qt::LeftButton);
    EXPECT_EQ(w().a0Button()->text(), "Change Address\nA0= 1 ");
    EXPECT_EQ(w().referenceBox()->text(), "2.5");
    EXPECT_EQ(volt(0)->text(), "0.625");
    EXPECT_EQ(addresses().front(), 0xEA);
    QTest::mouseClick(w().a0Button(), Qt::LeftButton);
    EXPECT_EQ(w().referenceBox()->text(), "10");
    EXPECT_EQ(volt(0)->text(), "5");
}

TEST_F(Commands, CommandClickedDuringTheReadWaitRunsNestedBeforeTheReads)
{
    startWith({{2, 300}});
    QTimer::singleShot(20, window.get(), [this] { click("Command6"); });
    click("Command5");
    const auto seen = addresses();
    // Read DAC's presence probe, Reset's general call and read-back, then Read DAC's reads and its
    // write-back of the row that changed.
    ASSERT_EQ(seen.size(), 1u + 1u + 50u + 50u + 1u);
    EXPECT_EQ(seen[0], 0xE8);
    EXPECT_EQ(seen[1], 0x00);
    EXPECT_EQ(chip().dacRegister(2), 0);
    EXPECT_EQ(w().codeBox(2)->text(), "0");
}

TEST_F(Commands, ClosingTheProgramDuringTheReadWaitSendsNothingMore)
{
    start();
    w().setEndProgram([] { QCoreApplication::exit(0); });
    tap->clear();
    QTimer::singleShot(20, window.get(), [this] { w().close(); });
    click("Command5");
    EXPECT_EQ(bustrace::decode(tap->requests), (std::vector<std::vector<int>>{{0xE8}})) << "the probe alone";
    EXPECT_TRUE(reports.isEmpty());
    // exit() leaves the thread quitting until an application loop has run: put it back for the next test.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
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
