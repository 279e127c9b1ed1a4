// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The POSIX port end to end: the real port code on a pseudo-terminal whose modem requests the modem shim
// serves from a simulated board, with the bus layer and the program's state on top.
#include "serial/posix_serial_port.h"

#include "support/bench_steps.h"
#include "support/pty_board.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// What a start of the program finds on a real port, before any transaction: the lines, then the chip. A
// failed check keeps the bus quiet; otherwise the program reads the chip, one ioctl per line request, and
// writes it back.
TEST(PosixPortOnBoard, TheLinesAndTheChipAreCheckedAtOpenAndAFailedCheckKeepsTheBusQuiet)
{
    using State = engine::ConnectionState::PortState;
    using Presence = engine::ConnectionState::Presence;
    // what, the fault, then the port state, the lines' health and the chip's presence found
    const std::tuple<const char*, void (*)(krm_shim_config&), State, bus::LineHealth, Presence> cases[] = {
        {"all well", [](krm_shim_config&) {}, State::Open, bus::LineHealth::Ok, Presence::Answers},
        {"read-back wire broken", [](krm_shim_config& c) { c.dsr = KRM_SHIM_DSR_DEAD; }, State::Open,
         bus::LineHealth::ReadbackNeverAsserts, Presence::Unknown},
        {"SDA held by a chip", [](krm_shim_config& c) { c.stranded = 0x74; }, State::Open,
         bus::LineHealth::Recovered, Presence::Answers},
        {"board unpowered", [](krm_shim_config& c) { c.chips = KRM_SHIM_CHIPS_NONE; }, State::Open,
         bus::LineHealth::Ok, Presence::NoAnswer},
        // Two line requests release the lines after the open; the adapter goes during the check.
        {"adapter pulled during the check", [](krm_shim_config& c) { c.gone_after = 5; }, State::Gone,
         bus::LineHealth::Unchecked, Presence::Unknown},
    };
    for (const auto& [what, fault, state, health, presence] : cases) {
        SCOPED_TRACE(what);
        krm_shim_config config = krm_shim_default_config();
        config.codes[0][23] = 0x2A5;
        fault(config);
        PtyBoard board(config);
        QTemporaryDir dir;
        auto catalog = std::make_unique<serial::PortCatalog>(board.catalog());
        auto port = std::make_unique<serial::PosixSerialPort>(*catalog, dir.path());
        app::Bench bench(dir.filePath("KRM72340.ini"), std::move(port), std::move(catalog));
        const engine::ConnectionState connection = steps::open(bench, 1).connection;
        EXPECT_EQ(connection.portState, state);
        EXPECT_EQ(connection.lines.health, health);
        EXPECT_EQ(connection.presence, presence);

        const unsigned long served = krm_shim_line_requests(), ioctls = krm_shim_requests();
        model::ChannelModel& channels = bench.channels();
        if (!connection.lines.usable()) {
            EXPECT_EQ(steps::failureOf(steps::readAll(bench)), engine::Failure::Kind::Unusable);
            EXPECT_EQ(krm_shim_line_requests(), served) << "nothing on the bus";
        } else if (presence == Presence::Answers) {
            EXPECT_FALSE(steps::readAll(bench).failure);
            EXPECT_EQ(channels.code[24], 0x2A5);
            EXPECT_EQ(krm_shim_requests() - ioctls, krm_shim_line_requests() - served) << "one ioctl each";
            channels.cur_chan = 5;
            channels.code[5] = 777;
            channels.write_current_channel();
            EXPECT_EQ(krm_shim_dac_register(0x74, 4), 777);
        }
    }
}

} // namespace
