// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app/bench.h"
#include "bus/i2c_master.h"
#include "sim/simulated_board.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

namespace {

using Chips = sim::SimulatedBoard::Chips;
using Connection = app::Connection;

// The core alone, as the command line uses it: the simulated board, opened as start-up opens it.
struct Core {
    explicit Core(Chips chips = Chips::Both, const std::function<void(sim::SimulatedBoard&)>& setup = {})
    {
        auto owned = std::make_unique<sim::SimulatedBoard>(chips);
        board = owned.get();
        for (int reg = 0; reg < 24; ++reg)
            if (auto* chip = board->chip(0x74))
                chip->setDacRegister(reg, 100 + reg);
        if (setup)
            setup(*board);
        bench = std::make_unique<app::Bench>(dir.filePath("KRM72340.ini"), std::move(owned));
    }
    void open(int port, const QString& a0 = "0")
    {
        bench->channels.a0_state = a0;
        bench->link.PortNumber = static_cast<qint16>(port);
        bench->link.BitRate = 9600;
        bench->link.EnumerateComPorts();
        bench->link.OpenSelectedPort();
    }
    Connection& connection() { return bench->connection; }

    QTemporaryDir dir;
    sim::SimulatedBoard* board = nullptr;
    std::unique_ptr<app::Bench> bench;
};

TEST(Connection, SaysWhatLiesBetweenTheProgramAndTheChip)
{
    const struct {
        const char* what;
        Chips chips;
        int port;
        QString a0;
        Connection::PortState state;
        const char* port_text;
        const char* chip_text;
    } cases[] = {
        {"first run", Chips::Both, 0, "0", Connection::PortState::NoPortChosen,
         "No port chosen: press COM Setting", ""},
        {"no such port", Chips::Both, 5, "0", Connection::PortState::Unavailable, "COM5 is not available",
         ""},
        {"all well", Chips::Both, 1, "0", Connection::PortState::Open, "COM1 (simulated board) open",
         "chip answers at 0x74"},
        {"jumper on the other address", Chips::A0Low, 1, "1", Connection::PortState::Open,
         "COM1 (simulated board) open", "no chip answers at 0x75 (A0 = 1): check power, cable and A0"},
        {"board unpowered", Chips::None, 1, "0", Connection::PortState::Open, "COM1 (simulated board) open",
         "no chip answers at 0x74 (A0 = 0): check power, cable and A0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Core core(c.chips);
        int changes = 0;
        QObject::connect(&core.connection(), &Connection::changed, [&] { ++changes; });
        core.open(c.port, c.a0);
        EXPECT_GT(changes, 0);
        EXPECT_EQ(core.connection().portState(), c.state);
        EXPECT_TRUE(core.connection().portText().startsWith(c.port_text))
            << qPrintable(core.connection().portText());
        EXPECT_EQ(core.connection().chipText(), c.chip_text);
        EXPECT_EQ(core.connection().linesText(), c.state == Connection::PortState::Open ? "lines OK" : "");
        // Without a chip the commands still run as they always did; only a failed line check stops them.
        EXPECT_NO_THROW(core.bench->channels.readAllChannels());
    }
}

// One start of the program with the read-back wire broken once wrote code 1023 into every channel.
TEST(Connection, ABusThatFailedItsCheckCarriesNoTransactionUntilThePortIsOpenedAgain)
{
    Core core(Chips::Both, [](sim::SimulatedBoard& b) { b.setFaults({true, false, -1}); });
    core.open(1);
    EXPECT_EQ(core.board->lineRequests(), 7u) << "the line check and nothing else";
    const QString refusal = core.connection().refusalText();
    for (const char* named : {"COM1", "simulated board", "DSR", "COM Setting"})
        EXPECT_TRUE(refusal.contains(named)) << named << ": " << qPrintable(refusal);
    auto& model = core.bench->channels;
    model.cur_chan = 3;
    model.code[3] = 1023;
    EXPECT_THROW(model.write_current_channel(), bus::BusUnusable);
    EXPECT_THROW(model.readAllChannels(), bus::BusUnusable);
    EXPECT_EQ(core.board->lineRequests(), 7u);
    EXPECT_EQ(core.board->chip(0x74)->dacRegister(2), 102);

    core.board->setFaults({});
    core.open(1); // the user mended the cable and picked the port again
    EXPECT_TRUE(core.connection().refusalText().isEmpty());
    EXPECT_NO_THROW(model.write_current_channel());
    EXPECT_EQ(core.board->chip(0x74)->dacRegister(2), 1023);
}

TEST(Connection, APulledAdapterShowsAsGoneAfterTheCommandThatMetIt)
{
    Core core;
    core.open(1);
    core.board->setFaults({false, false, long(core.board->lineRequests()) + 500});
    EXPECT_THROW(core.bench->channels.readAllChannels(), serial::PortError);
    core.connection().notice();
    EXPECT_EQ(core.connection().portState(), Connection::PortState::Gone);
    EXPECT_TRUE(core.connection().portText().contains("the adapter is gone"));
}

} // namespace
