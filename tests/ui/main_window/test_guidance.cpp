// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "ui/connection_line.h"

namespace {

const QString kSetVsup = "Set Vsup, the reference voltage, before typing voltages";
const QString kReadDac = "Press Read DAC to read the chip";

class Guidance : public AppFixture {
protected:
    QStringList hints() { return w().connectionLine()->hints(); }
};

TEST_F(Guidance, AFirstRunSaysToSetVsupAndAfterThePickToReadTheChipAndSavesItsSettingsAtExit)
{
    start({});
    EXPECT_TRUE(w().connectionLine()->parts().contains("No port chosen: press COM Setting"));
    // No port chosen yet: nothing is shown as read.
    EXPECT_EQ(w().codeBox(2)->text(), "");
    EXPECT_EQ(w().maxBankBox()->text(), "");
    EXPECT_EQ(hints(), QStringList());
    typeInto(volt(2), "5");
    EXPECT_EQ(hints(), QStringList({kSetVsup}));
    leave(volt(2));
    EXPECT_EQ(volt(2)->text(), "") << "snapped back";

    bench->link().PortNumber = 1; // what a pick in COM Setting does, without the dialog
    w().commands().post([this] { return w().openSelectedPort(); });
    settle();
    EXPECT_EQ(hints(), QStringList({kSetVsup, kReadDac}));
    typeInto(w().referenceBox(), "2.5");
    EXPECT_EQ(hints(), QStringList({kSetVsup, kReadDac})) << "not applied before the box is left";
    leave(w().referenceBox());
    EXPECT_EQ(hints(), QStringList({kReadDac}));
    click("Command5");
    EXPECT_EQ(hints(), QStringList());
    typeInto(volt(2), "1.25");
    EXPECT_EQ(hints(), QStringList());
    EXPECT_EQ(chip().dacRegister(2), 512);
    closeProgram();
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(stored("PortNumb/2"), "1");
    EXPECT_EQ(stored("a0/1"), "0");
}

} // namespace
