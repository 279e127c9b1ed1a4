// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "app/bench.h"

// The steps of the program's commands on the core alone, as the command line takes them: the bench's engine
// run at once on the test's thread.
namespace steps {

// Opens port n at the rate as start-up opens the selected port (without its wait), probing at A0.
inline engine::Outcome open(app::Bench& bench, int port, qint32 rate = 9600, const QString& a0 = "0")
{
    serial::SerialLink& link = bench.link();
    link.PortNumber = static_cast<qint16>(port);
    link.BitRate = rate;
    link.EnumerateComPorts();
    bench.channels().a0_state = a0;
    engine::Batch batch;
    batch.commands.emplace_back(engine::OpenPort{port, rate, a0, link.available()});
    engine::Outcome outcome = bench.engine().run(batch);
    if (!outcome.replies.empty() && outcome.replies.front().alreadyOpen)
        link.noteAlreadyOpen(port);
    return outcome;
}

// The read-back of every channel and the bank status into the model, which refreshes when it is whole.
inline engine::Outcome readAll(app::Bench& bench)
{
    engine::Outcome outcome = bench.engine().run(bench.channels().read_all_channels_batch());
    bench.channels().apply_read(outcome.replies);
    return outcome;
}

inline engine::Failure::Kind failureOf(const engine::Outcome& outcome)
{
    return outcome.failure ? outcome.failure->kind : engine::Failure::Kind(-1);
}

} // namespace steps
