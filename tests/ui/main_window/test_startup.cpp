// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "ui/connection_line.h"
#include "ui/port_dialog.h"

#include <QComboBox>
#include <QTest>

namespace {

class Startup : public AppFixture {};

// The read-back wire broken on a working chip: the start-up read must not turn FFFF into writes of 1023.
TEST_F(Startup, WithTheReadBackBrokenNothingReachesTheChipAndNothingIsShownAsRead)
{
    start(onCom1({{"vref_high0/10", "10"}}), [](sim::SimulatedBoard& b) {
        b.setFaults({true, false, -1});
        b.chip(0x74)->setDacRegister(4, 300);
    });
    EXPECT_EQ(tap->requests, "DRSrSdS"); // the line check alone
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].contains("DSR")) << reports[0].toStdString();
    EXPECT_TRUE(w().connectionLine()->parts().join(' ').contains("DSR is never asserted"));
    for (int r = 0; r < 24; ++r)
        EXPECT_EQ(row(r), " V, ");
    typeInto(volt(4), "5"); // a typed value is the user's, and its write says once that nothing went out
    EXPECT_EQ(reports.size(), 1 + 1);
    EXPECT_EQ(chip().dacRegister(4), 300);
}

// A silent bus reads all ones; written back, that drove every output of a chip to full scale. Codes that no
// chip gave are shown as unknown and never written, and what needs them refuses.
TEST_F(Startup, CodesThatNoChipGaveAreNeverWritten)
{
    const auto noFullScale = [this] {
        for (const auto& [reg, code] : tap->dacWrites())
            EXPECT_NE(code, 1023) << "register " << reg;
    };
    // A first run: no port, then COM1 picked, then Vsup typed.
    start({});
    EXPECT_EQ(row(2), " V, ");
    {
        ui::PortDialog dialog(w(), &w());
        settle();
        dialog.show();
        QTest::keyClick(dialog.comboComPort(), Qt::Key_Home); // COM1, the simulated board
        settle();
    }
    typeInto(w().referenceBox(), "2.5");
    leave(w().referenceBox());
    noFullScale();
    EXPECT_EQ(row(2), "0 V, 0") << "read at the pick";
    EXPECT_EQ(chip().dacRegister(2), 0);
    window.reset();
    bench.reset();

    // No chip at the address in use, at start-up and after A0 goes to an empty address.
    for (const auto chips : {sim::SimulatedBoard::Chips::None, sim::SimulatedBoard::Chips::A0Low}) {
        SCOPED_TRACE(int(chips));
        start(onCom1({{"vref_high0/10", "10"}, {"vref_high1/10", "10"}}), {}, chips);
        if (chips == sim::SimulatedBoard::Chips::A0Low) {
            tap->clear(); // the start-up's write-back of what the chip at 0x74 gave
            click("Command7");
        }
        EXPECT_TRUE(tap->dacWrites().empty());
        EXPECT_EQ(row(0) + w().maxBankBox()->text(), " V, ");
        leave(volt(3)); // nothing typed
        reports.clear();
        use(file("saved.csv", {}), "Command1");
        click("Command10");
        EXPECT_TRUE(tap->dacWrites().empty() && tap->otpWrites().empty());
        ASSERT_EQ(reports.size(), 2);
        EXPECT_TRUE(reports[0].startsWith("Nothing to save: no chip gave the codes of channels 1-24"));
        EXPECT_TRUE(reports[1].startsWith("Nothing was burnt"));
        EXPECT_FALSE(QFile::exists(QString::fromLocal8Bit(file("saved.csv", {}))));
        // Typed, a channel is the user's.
        typeInto(volt(3), "5");
        leave(volt(3));
        EXPECT_EQ(tap->dacWrites().back(), std::make_pair(3, 512));
        window.reset();
        bench.reset();
    }
}

} // namespace
