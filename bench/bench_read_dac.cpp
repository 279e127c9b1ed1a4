// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// Read DAC against the simulated board with the real main window on the offscreen platform: the 25 register
// reads, then the grid refresh whose change cascade writes back every row whose text changed. The 0.1 s wait
// that opens every read-back is left out: it is a sleep, not work.
#include "app/bench.h"
#include "bus/device.h"
#include "sim/simulated_board.h"
#include "ui/main_window.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

void BM_ReadDacWithRefresh(benchmark::State& state)
{
    QTemporaryDir dir;
    auto board = std::make_unique<sim::SimulatedBoard>();
    sim::SimulatedBoard& chipBoard = *board;
    app::Bench bench(dir.filePath(QStringLiteral("KRM72340.ini")), std::move(board));
    ui::MainWindow window(bench);
    chipBoard.open(1);
    model::ChannelModel& model = bench.channels;
    model.vref_high_cur = 10;

    int round = 0;
    for (auto _ : state) {
        // Alternate the chip between two sets of codes so that every row's text changes each time.
        state.PauseTiming();
        for (int reg = 0; reg < 24; ++reg)
            chipBoard.chip(0x74)->setDacRegister(reg, (round % 2 ? 100 : 600) + reg);
        ++round;
        const quint64 before = chipBoard.lineRequests();
        state.ResumeTiming();

        for (int n = 0; n < 24; ++n) {
            model.decmal_to_binary5(n);
            model.code[n + 1] = bus::readRegister(bench.i2c, model.a0_state, model.bits_result);
        }
        model.readBankStatus();
        model.refresh_channels();

        state.PauseTiming();
        state.counters["line_requests"] = double(chipBoard.lineRequests() - before);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ReadDacWithRefresh)->Unit(benchmark::kMillisecond);

} // namespace
