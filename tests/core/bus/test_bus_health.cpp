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

using Chips = sim::SimulatedBoard::Chips;
using bus::LineHealth;

// The board open on COM1 behind a tap that records every line request.
struct Rig {
    explicit Rig(Chips chips = Chips::Both) : board(chips) { board.open(1); }
    sim::SimulatedBoard board;
    RecordingPort tap{&board};
    bus::I2cMaster i2c{tap};
};

TEST(LineCheck, TellsAWorkingBusFromABrokenReadBackAndFreesAStuckChip)
{
    const struct {
        const char* what;
        std::function<void(sim::SimulatedBoard&)> fault;
        LineHealth health;
        int pulses;
    } cases[] = {
        {"healthy", [](auto&) {}, LineHealth::Ok, 0},
        {"DSR wire broken",
         [](auto& b) {
             b.setFaults({true, false, -1});
         },
         LineHealth::ReadbackNeverAsserts, 0},
        {"DSR stuck asserted",
         [](auto& b) {
             b.setFaults({false, true, -1});
         },
         LineHealth::SdaStaysLow, 0},
        // The chip's word 0 keeps SDA low until its byte and the acknowledge slot are clocked out.
        {"chip stranded mid-read", [](auto& b) { b.strandChipMidRead(0x74); }, LineHealth::Recovered, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Rig r;
        r.board.chip(0x74)->setDacRegister(5, 0x155);
        c.fault(r.board);
        const bus::LineCheck check = bus::checkLines(r.tap);
        EXPECT_EQ(check.health, c.health);
        EXPECT_EQ(check.recoveryPulses, c.pulses);
        EXPECT_EQ(check.usable(), c.health == LineHealth::Ok || c.health == LineHealth::Recovered);
        if (c.health == LineHealth::Ok) { // SCL held low while SDA is moved: no START or STOP on the bus
            EXPECT_EQ(r.tap.requests, "DRSrSdS");
        }
        const std::string& requests = r.tap.requests;
        EXPECT_EQ(requests[requests.find_last_of("Rr")], 'r') << "SDA released at the end";
        EXPECT_EQ(requests[requests.find_last_of("Dd")], 'd') << "SCL released at the end";
        if (check.usable()) { // the freed chip answers the next transaction as if nothing had happened
            EXPECT_EQ(bus::readRegister(r.i2c, "0", "00101"), 0x155);
        }
    }
    sim::SimulatedBoard closed;
    EXPECT_EQ(bus::checkLines(closed).health, LineHealth::Unchecked);
}

TEST(Probe, ReadsTheOneAcknowledgeAndLeavesTheTransactionsStateAlone)
{
    Rig r(Chips::A0Low);
    r.i2c.readValue = 42;
    r.i2c.txBits.fill(1);
    EXPECT_TRUE(r.i2c.probe(bus::writeAddress("0")));
    // START, the address byte 0xE8, an acknowledge clock with one look while SCL is high, STOP.
    EXPECT_EQ(r.tap.requests, "rdRd"
                              "DrdrDr"
                              "DrdrDr"
                              "DrdrDr"
                              "DRdRDR"
                              "DrdrDr"
                              "DRdRDR"
                              "DRdRDR"
                              "DRdRDR"
                              "rDrdSrD"
                              "RDRdrd");
    EXPECT_FALSE(r.i2c.probe(bus::writeAddress("1")));
    EXPECT_EQ(r.i2c.readValue, 42);
    EXPECT_EQ(r.i2c.txBits[1], 1);
    // An idle bus reads high in the slot: a missing chip never looks present.
    EXPECT_EQ(r.board.chip(0x74)->dacRegister(0), 0);
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
    for (const auto& run : transactions) {
        Rig r;
        r.i2c.setUnusable(QStringLiteral("lines failed"));
        EXPECT_THROW(run(r.i2c), bus::BusUnusable);
        EXPECT_EQ(r.tap.requests, "");
        r.i2c.setUnusable(std::nullopt);
        EXPECT_NO_THROW(run(r.i2c));
    }
}

} // namespace
