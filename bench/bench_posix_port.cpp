// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The real POSIX port on a pseudo-terminal whose modem lines the modem shim serves: the read-back of the 24
// channel registers plus the bank status (7,650 line requests), with no latency (the cost of the port code
// and the shim: one ioctl, which the shim answers after an fstat) and with 1 ms per line request, as a round
// trip to a USB adapter takes.
#include "bus/device.h"
#include "bus/i2c_master.h"
#include "serial/posix_serial_port.h"

#include "support/pty_board.h"

#include <benchmark/benchmark.h>

#include <array>

namespace {

constexpr int kReadBackRequests = 25 * (118 + 188);

void BM_ReadAllRegisters(benchmark::State& state)
{
    krm_shim_config config = krm_shim_default_config();
    config.latency_us = state.range(0);
    PtyBoard board(config);
    serial::PortCatalog catalog = board.catalog();
    serial::PosixSerialPort port(catalog);
    port.open(1);
    bus::I2cMaster i2c(port);
    std::array<QString, 24> reg5;
    for (int n = 0; n < 24; ++n)
        reg5[n] = QString::number(n, 2).rightJustified(5, QLatin1Char('0'));
    const QString a0 = QStringLiteral("0");

    const unsigned long before = krm_shim_requests();
    for (auto _ : state) {
        for (const QString& reg : reg5)
            benchmark::DoNotOptimize(bus::readRegister(i2c, a0, reg));
        benchmark::DoNotOptimize(bus::readBankStatusWord(i2c, a0));
    }
    if (krm_shim_requests() - before != quint64(kReadBackRequests) * state.iterations())
        state.SkipWithError("unexpected number of served requests");
    state.counters["per_request"] =
        benchmark::Counter(double(kReadBackRequests) * state.iterations(),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReadAllRegisters)->ArgName("latency_us")->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAllRegisters)
    ->ArgName("latency_us")
    ->Arg(1000)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
