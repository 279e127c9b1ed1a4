// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// What the bus engine adds to the window's commands on the simulated board: a read-back of every register
// and its refresh (every row changing, so each is written back) as a command of the main window, and the
// round trip of one batch from the window's thread to the bus thread and back.
#include "app/bench.h"
#include "sim/simulated_board.h"
#include "ui/commands.h"
#include "ui/main_window.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

// Runs the job as a command of the window and returns once it has ended.
void runCommand(ui::MainWindow& window, ui::Commands::Job job)
{
    ui::Commands& commands = window.commands();
    commands.post(std::move(job));
    while (commands.busy() || commands.bus().inFlight() > 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void BM_ReadDacWithRefresh(benchmark::State& state)
{
    QTemporaryDir dir;
    auto owned = std::make_unique<sim::SimulatedBoard>();
    sim::SimulatedBoard& board = *owned;
    app::Bench bench(dir.filePath(QStringLiteral("KRM72340.ini")), std::move(owned));
    board.open(1);
    ui::MainWindow window(bench);
    model::ChannelModel& model = bench.channels();
    model.vref_high_cur = 10;

    int round = 0;
    for (auto _ : state) {
        // Alternate the chip between two sets of codes so that every row's text changes each time.
        state.PauseTiming();
        for (int reg = 0; reg < 24; ++reg)
            board.chip(0x74)->setDacRegister(reg, (round % 2 ? 100 : 600) + reg);
        ++round;
        const quint64 before = board.lineRequests();
        state.ResumeTiming();

        // Read DAC without its 0.1 s wait: the reads, the refresh, the write-back of every row.
        runCommand(window, [&]() -> ui::Task<> {
            const engine::Outcome read = co_await window.commands().run(model.read_all_channels_batch());
            model.apply_read(read.replies);
        });

        state.PauseTiming();
        state.counters["line_requests"] = double(board.lineRequests() - before);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ReadDacWithRefresh)->Unit(benchmark::kMillisecond);

// From posting a batch on the window's thread to its outcome there: the thread hop both ways.
void BM_CommandRoundTrip(benchmark::State& state)
{
    QTemporaryDir dir;
    auto bench = app::Bench::simulated(dir.filePath(QStringLiteral("KRM72340.ini")));
    engine::BusThread bus(bench->engine());
    for (auto _ : state) {
        bool done = false;
        bus.post(engine::Batch{}, [&done](const engine::Outcome&) { done = true; });
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}
BENCHMARK(BM_CommandRoundTrip)->Unit(benchmark::kMicrosecond);

} // namespace
