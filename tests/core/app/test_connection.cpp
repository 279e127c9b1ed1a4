// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "sim/simulated_board.h"
#include "support/bench_steps.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using Chips = sim::SimulatedBoard::Chips;
using State = engine::ConnectionState::PortState;

// The core alone, as the command line uses it: the simulated board, opened as start-up opens it.
struct Core {
    explicit Core(Chips chips = Chips::Both)
        : bench(dir.filePath("KRM72340.ini"), std::make_unique<sim::SimulatedBoard>(chips))
    {
    }
    void open(int port, const QString& a0 = "0") { steps::open(bench, port, 9600, a0); }
    const engine::ConnectionState& connection() { return bench.engine().connection(); }

    QTemporaryDir dir;
    app::Bench bench;
    sim::SimulatedBoard& board = static_cast<sim::SimulatedBoard&>(bench.engine().device());
};

TEST(Connection, SaysWhatLiesBetweenTheProgramAndTheChip)
{
    // what, the board, the port and A0 picked, then the port's state and the texts of the port and the chip
    const std::tuple<const char*, Chips, int, const char*, State, const char*, const char*> cases[] = {
        {"first run", Chips::Both, 0, "0", State::NoPortChosen, "No port chosen: press COM Setting", ""},
        {"no such port", Chips::Both, 5, "0", State::Unavailable, "COM5 is not available", ""},
        {"all well", Chips::Both, 1, "0", State::Open, "COM1 (simulated board) open", "chip answers at 0x74"},
        {"jumper on the other address", Chips::A0Low, 1, "1", State::Open, "COM1 (simulated board) open",
         "no chip answers at 0x75 (A0 = 1): check power, cable and A0"},
        {"board unpowered", Chips::None, 1, "0", State::Open, "COM1 (simulated board) open",
         "no chip answers at 0x74 (A0 = 0): check power, cable and A0"},
    };
    for (const auto& [what, chips, port, a0, state, portText, chipText] : cases) {
        SCOPED_TRACE(what);
        Core core(chips);
        core.open(port, a0);
        EXPECT_EQ(core.connection().portState, state);
        EXPECT_TRUE(core.connection().portText().startsWith(portText))
            << qPrintable(core.connection().portText());
        EXPECT_EQ(core.connection().chipText(), chipText);
        EXPECT_EQ(core.connection().linesText(), state == State::Open ? "lines OK" : "");
        // Without a chip the commands still run as they always did; only a failed line check stops them.
        EXPECT_FALSE(steps::readAll(core.bench).failure);
    }
}

// One start of the program with the read-back wire broken once wrote code 1023 into every channel. Later, a
// pulled adapter shows as gone after the command that met it.
TEST(Connection, AFailedCheckCarriesNoTransactionUntilThePortIsOpenedAgainAndAPulledAdapterShowsAsGone)
{
    Core core;
    core.board.setFaults({true, false, -1});
    core.open(1);
    EXPECT_EQ(core.board.lineRequests(), 7u) << "the line check and nothing else";
    const QString refusal = core.connection().refusalText();
    for (const char* named : {"COM1", "simulated board", "DSR", "COM Setting"})
        EXPECT_TRUE(refusal.contains(named)) << named << ": " << qPrintable(refusal);
    EXPECT_TRUE(core.connection().linesText().contains("DSR")) << qPrintable(core.connection().linesText());
    auto& model = core.bench.channels();
    model.cur_chan = 3;
    model.code[3] = 1023;
    EXPECT_THROW(model.write_current_channel(), bus::BusUnusable);
    EXPECT_EQ(steps::failureOf(steps::readAll(core.bench)), engine::Failure::Kind::Unusable);
    EXPECT_EQ(core.board.lineRequests(), 7u);

    core.board.setFaults({});
    core.open(1); // the user mended the cable and picked the port again
    EXPECT_TRUE(core.connection().refusalText().isEmpty());
    EXPECT_NO_THROW(model.write_current_channel());
    EXPECT_EQ(core.board.chip(0x74)->dacRegister(2), 1023);

    core.board.setFaults({false, false, long(core.board.lineRequests()) + 500});
    const engine::Outcome pulled = steps::readAll(core.bench);
    EXPECT_EQ(steps::failureOf(pulled), engine::Failure::Kind::Port);
    EXPECT_EQ(pulled.connection.portState, State::Gone);
    EXPECT_TRUE(core.connection().portText().contains("the adapter is gone"));
}

} // namespace
