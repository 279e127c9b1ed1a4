// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "ui/connection_line.h"

namespace {

class Startup : public AppFixture {};

TEST_F(Startup, StoredBankOneOpensBlueAndReadsAndWritesBackTheChipAtA0One)
{
    start(onCom1({{"a0/1", "1"}, {"vref_high0/10", "10"}, {"vref_high1/10", "2.5"}}),
          [](sim::SimulatedBoard& b) { b.chip(0x75)->setDacRegister(5, 200); });
    EXPECT_EQ(w().a0Button()->text(), "Change Address\nA0= 1 ");
    EXPECT_TRUE(w().a0Button()->styleSheet().contains("192, 192, 255"));
    EXPECT_EQ(w().referenceBox()->text(), "2.5");
    EXPECT_EQ(row(5), "0.488 V, C8");
    // The presence probe, the 25 reads (pointer write, word read) and the write-back of every row.
    const auto seen = addresses();
    EXPECT_EQ(seen.size(), 1u + 2 * 25u + 24u);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 0xEA), 1 + 25 + 24);
    EXPECT_EQ(tap->dacWrites().at(5), std::make_pair(5, 200));
}

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
