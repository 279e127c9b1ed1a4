// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"
#include "support/at_transaction.h"
#include "support/used_chip.h"

#include "bus/bus_observer.h"
#include "model/numbers.h"
#include "ui/otp_writer.h"
#include "ui/widgets.h"

#include <QToolButton>

namespace {

class Commands : public AppFixture {};

// Every burn is asked for, naming what, the bank and the chip; Cancel burns nothing.
TEST_F(Commands, OtpBurnsAreAskedForAndProgramAllBurnsEveryChannelResetsAndShowsWhatTheChipHolds)
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
    EXPECT_EQ(w().codeBox(16)->text(), "C") << "read back after the reset";
    EXPECT_EQ(addresses().front(), 0xE8);
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

// A burn is judged by the bank status before and after it: a chip whose banks are all burnt takes nothing,
// and says so with what it holds. After every burn the grid shows what the reset loaded into all 24
// registers, and the message names the outputs that changed. The question names the general call.
TEST_F(Commands, ABurnIsJudgedByTheBankStatusAndTheGridShowsWhatTheResetLoadedIntoEveryRegister)
{
    const struct {
        const char* what;
        int banksUsed;
        bool single; // the OTP writer's first register, else Program OTP All
        int changed;
    } cases[] = {
        {"one register, fresh chip", 0, true, 23}, // the new bank holds 0 but for register 0
        {"all registers, fresh chip", 0, false, 0},
        {"one register, every bank burnt", 8, true, 24},
        {"all registers, every bank burnt", 8, false, 24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        questions.clear();
        shown.clear();
        reports.clear();
        start(onCom1({{"vref_high0/10", "10"}}),
              [&c](sim::SimulatedBoard& b) { b.chip(0x74)->setMemory(usedChip(c.banksUsed)); });
        if (c.single) {
            click("Command3");
            press(w().otpWriter()->writeButton());
        } else {
            click("Command10");
        }
        ASSERT_EQ(questions.size(), 1);
        EXPECT_TRUE(questions[0].contains("general call, which resets every chip on the bus: a chip at 0x75 "
                                          "too reloads its own last OTP bank"))
            << questions[0].toStdString();
        for (int reg = 0; reg < 24; ++reg)
            EXPECT_EQ(w().codeBox(reg)->text(), model::code_text(chip().dacRegister(reg))) << reg;
        const bool took = c.banksUsed < 8;
        ASSERT_EQ((took ? shown : reports).size(), 1);
        const QString said = (took ? shown : reports).front();
        EXPECT_TRUE(said.startsWith(took ? "Burnt register" : "The burn of register")) << said.toStdString();
        EXPECT_TRUE(said.contains(took ? "into OTP bank 1 (the bank status read 0 before, 1 after)"
                                       : "did not take: the bank status read 8 before it and 8 after, not 9"))
            << said.toStdString();
        EXPECT_TRUE(said.contains(took ? "After the reset the chip holds 1: " : "holds 1: 5h, 2: 5h"))
            << said.toStdString();
        EXPECT_EQ(said.count("h to "), c.changed) << said.toStdString();
        EXPECT_EQ(w().maxBankBox()->text(), took ? "1" : "8");
        window.reset();
        bench.reset();
    }
}

// The adapter pulled inside a burn: the report says how far the burn went, not only which line failed (the
// command line's table has the other places a pull can hit).
TEST_F(Commands, AnAdapterPulledInsideABurnSaysWhichRegistersOfWhichBankWereBurnt)
{
    startWith();
    {
        const AtTransaction pull(bench->engine(), bus::TransactionKind::OtpWrite, 8, [this] {
            board->setFaults({false, false, long(board->lineRequests()) + 5});
        });
        click("Command10");
    }
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(
        reports[0].startsWith("The burn into OTP bank 1 was cut off: registers 0 to 6 burnt, register 7 "
                              "may or may not hold its new code, registers 8 to 23 not burnt."))
        << reports[0].toStdString();
    EXPECT_TRUE(reports[0].contains("No such device")) << reports[0].toStdString();
    EXPECT_EQ(chip().resets(), 0);
}

} // namespace
