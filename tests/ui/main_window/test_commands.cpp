// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "ui/otp_writer.h"
#include "ui/widgets.h"

#include <QToolButton>

namespace {

class Commands : public AppFixture {};

// Every burn is asked for, naming what, the bank and the chip; Cancel burns nothing.
TEST_F(Commands, OtpBurnsAreAskedForAndProgramAllBurnsEveryChannelResetsAndShowsTheBankWithoutRefreshing)
{
    startWith({{16, 984}, {18, 333}}, Chips::A0Low);
    click("Command3"); // the OTP writer, stepped down from its first register to c1
    for (int k = 0; k < 22; ++k)
        QTest::mouseClick(w().otpWriter()->arrows()->downArrow(), Qt::LeftButton);
    const auto burnAll = [this] {
        w().commandButton("Command8")->setFocus(); // no box to leave, so nothing refreshes the grid first
        click("Command10");
    };
    const auto burnC1 = [this] { press(w().otpWriter()->writeButton()); };
    answer = false;
    burnAll();
    burnC1();
    EXPECT_TRUE(tap->otpWrites().empty());
    EXPECT_EQ(chip().resets(), 0);

    answer = true;
    tap->clear();
    model().code[17] = 12; // a hidden channel's code the grid does not show yet
    burnAll();
    const auto burnt = tap->otpWrites();
    ASSERT_EQ(burnt.size(), 24u);
    EXPECT_EQ(burnt[16], std::make_pair(16, 12));
    EXPECT_EQ(chip().dacRegister(16), 12); // the reset reloaded the burnt bank
    EXPECT_EQ(w().maxBankBox()->text(), "1");
    EXPECT_EQ(w().codeBox(16)->text(), "3D8");
    // From the chip's address to the bank status read that ends it.
    EXPECT_EQ(std::pair(addresses().front(), addresses().back()), std::pair(0xE8, 0xE9));
    // c1's code changed since the writer showed it: the newer one is burnt.
    model().code[19] = 256;
    tap->clear();
    burnC1();
    EXPECT_EQ(tap->otpWrites(), (Writes{{18, 256}}));
    tap->clear();
    // The other bank: its reference, and every frame at its address, where no chip answers.
    press(w().a0Button());
    EXPECT_EQ(w().a0Button()->text() + " " + w().referenceBox()->text(), "Change Address\nA0= 1  0");
    const auto seen = addresses();
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int a) { return (a | 1) == 0xEB; }));
    // No chip gave the codes there: nothing to burn, and no question.
    EXPECT_EQ(w().codeBox(0)->text(), "");
    tap->clear();
    burnAll();
    ASSERT_EQ(questions.size(), 4);
    EXPECT_TRUE(questions[3].startsWith("Burn channel c1 (register 18): code 100h, 2.5 V into OTP bank 2 "
                                        "(the bank status reads 1) of the chip at 0x74?"));
    ASSERT_FALSE(reports.isEmpty());
    EXPECT_TRUE(reports.back().startsWith("Nothing was burnt: no chip gave the codes of channels 1-24"));
    EXPECT_TRUE(tap->otpWrites().empty());
}

// Read DAC waits 0.1 s before its reads, letting events run: a click then runs its command at once.
TEST_F(Commands, ACommandClickedDuringTheReadWaitRunsNested)
{
    startWith({{2, 300}});
    QTimer::singleShot(20, window.get(), [this] { click("Command6"); });
    click("Command5");
    const auto seen = addresses();
    // Read DAC's presence probe, Reset's general call and read-back, then Read DAC's reads and its
    // write-back of the row that changed.
    ASSERT_EQ(seen.size(), 1u + 1u + 50u + 50u + 1u);
    EXPECT_EQ(std::vector<int>(seen.begin(), seen.begin() + 2), (std::vector<int>{0xE8, 0x00}));
    EXPECT_EQ(w().codeBox(2)->text(), "0");
}

} // namespace
