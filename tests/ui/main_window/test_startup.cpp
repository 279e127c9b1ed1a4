// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "ui/connection_line.h"

namespace {

class Startup : public AppFixture {};

// The read-back wire broken on a working chip: the start-up read must not turn FFFF into writes of 1023.
TEST_F(Startup, WithTheReadBackBrokenNothingReachesTheChipAndTheBoxesShowWhatTheProgramHolds)
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
        EXPECT_EQ(row(r), "0 V, 0");
    typeInto(volt(4), "5"); // each edit is a command that would touch the chip: each says so once
    EXPECT_EQ(reports.size(), 1 + 2) << "the deletion and the typed digit";
    EXPECT_EQ(chip().dacRegister(4), 300);
}

} // namespace
