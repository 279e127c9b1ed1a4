// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// Bus speed against the simulated board: what one line request costs in the bus and chip model, and how long
// the full read-back of the 24 channel registers plus the bank status takes (7,650 line requests).
#include "bus/device.h"
#include "bus/i2c_master.h"
#include "sim/simulated_board.h"

#include <benchmark/benchmark.h>

#include <array>

namespace {

constexpr int kReadBackRequests = 25 * (118 + 188);

void BM_ReadAllRegisters(benchmark::State& state)
{
    sim::SimulatedBoard board;
    board.open(1);
    bus::I2cMaster i2c(board);
    std::array<QString, 24> reg5;
    for (int n = 0; n < 24; ++n)
        reg5[n] = QString::number(n, 2).rightJustified(5, QLatin1Char('0'));
    const QString a0 = QStringLiteral("0");

    for (auto _ : state) {
        for (const QString& reg : reg5)
            benchmark::DoNotOptimize(bus::readRegister(i2c, a0, reg));
        benchmark::DoNotOptimize(bus::readBankStatusWord(i2c, a0));
    }
    if (board.lineRequests() != quint64(kReadBackRequests) * state.iterations())
        state.SkipWithError("unexpected number of line requests");
    state.counters["per_request"] =
        benchmark::Counter(double(kReadBackRequests) * state.iterations(),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReadAllRegisters)->Unit(benchmark::kMicrosecond);

void BM_BusDelay(benchmark::State& state)
{
    for (auto _ : state)
        bus::busDelay();
}
BENCHMARK(BM_BusDelay)->Unit(benchmark::kNanosecond);

} // namespace

BENCHMARK_MAIN();
