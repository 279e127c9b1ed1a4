// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "bus/device.h"
#include "bus/i2c_master.h"
#include "bus/line_check.h"
#include "sim/simulated_board.h"
#include "support/recording_port.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using bus::LineHealth;

// The board open on COM1 behind a tap that records every line request.
struct Rig {
    Rig() { board.open(1); }
    sim::SimulatedBoard board;
    RecordingPort tap{&board};
    bus::I2cMaster i2c{tap};
};

TEST(LineCheck, TellsAWorkingBusFromABrokenReadBackAndFreesAStuckChip)
{
    // what, the board's faults, the chip stranded mid-read (0: none), then what the check finds
    const std::tuple<const char*, sim::SimulatedBoard::Faults, int, LineHealth, int> cases[] = {
        {"healthy", {}, 0, LineHealth::Ok, 0},
        {"DSR wire broken", {true, false, -1}, 0, LineHealth::ReadbackNeverAsserts, 0},
        {"DSR stuck asserted", {false, true, -1}, 0, LineHealth::SdaStaysLow, 0},
        {"DSR wired to SCL", {false, false, -1, true}, 0, LineHealth::ReadbackFollowsScl, 0},
        {"no modem lines", {false, false, -1, false, true}, 0, LineHealth::NoModemLines, 0},
        // The chip's word 0 keeps SDA low until its byte and the acknowledge slot are clocked out.
        {"chip stranded mid-read", {}, 0x74, LineHealth::Recovered, 7},
    };
    for (const auto& [what, faults, stranded, health, pulses] : cases) {
        SCOPED_TRACE(what);
        Rig r;
        r.board.chip(0x74)->setDacRegister(5, 0x155);
        r.board.setFaults(faults);
        if (stranded)
            r.board.strandChipMidRead(stranded);
        const bus::LineCheck check = bus::checkLines(r.tap);
        EXPECT_EQ(check.health, health);
        EXPECT_EQ(check.recoveryPulses, pulses);
        const std::string& requests = r.tap.requests;
        if (health == LineHealth::Ok) { // SCL held low while SDA is moved: no START or STOP on the bus
            EXPECT_EQ(requests, "DRSrSdS");
        }
        if (health == LineHealth::NoModemLines) { // nothing reached the lines: there are none
            EXPECT_TRUE(check.finding().contains("cannot set its modem lines: Inappropriate ioctl"))
                << check.finding().toStdString();
            continue;
        }
        EXPECT_EQ(requests[requests.find_last_of("Rr")], 'r') << "SDA released at the end";
        EXPECT_EQ(requests[requests.find_last_of("Dd")], 'd') << "SCL released at the end";
        if (check.usable()) { // the freed chip answers the next transaction as if nothing had happened
            EXPECT_EQ(bus::readRegister(r.i2c, "0", "00101"), 0x155);
        }
    }
}

TEST(UnusableBus, RefusesEveryTransactionBeforeItsFirstRequest)
{
    const std::function<void(bus::I2cMaster&)> transactions[] = {
        [](auto& m) { bus::readRegister(m, "0", "00001"); },
        [](auto& m) { bus::writeDacRegister(m, "11111111", "00000011", "11101000", "00000001"); },
        [](auto& m) { bus::programOtpRegister(m, "11111111", "00000011", "11101000", "00000001"); },
        [](auto& m) { bus::resetChip(m); },
        [](auto& m) { m.probe("11101000"); },
    };
    Rig r;
    r.i2c.setUnusable(QStringLiteral("lines failed"));
    for (const auto& run : transactions)
        EXPECT_THROW(run(r.i2c), bus::BusUnusable);
    EXPECT_EQ(r.tap.requests, "");
}

} // namespace
