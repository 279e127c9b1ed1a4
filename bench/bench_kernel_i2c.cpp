// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// A Read DAC (the presence probe, then the 24 channel registers and the bank status, each a pointer write
// and a word read) through the kernel I2C adapter code on the emulated /dev/i2c-1: every transaction is an
// ioctl that umockdev carries to its handler thread and the chip model answers bit by bit, so the figure
// is the program's cost plus the emulation's, an upper bound for the program alone: its CPU column is the
// calling thread's, our code and the preload library's side of umockdev's socket protocol, while the wall
// time is mostly the four socket round trips per transaction to umockdev's thread. Run it under
// umockdev-wrapper. The transactions per command are counted on this path and on the line-level one.
#include "bus/device.h"
#include "bus/i2c_master.h"
#include "i2cdev/kernel_i2c_bus.h"
#include "sim/simulated_board.h"

#include "support/bus_trace.h"
#include "support/i2c_emulator.h"
#include "support/recording_port.h"

#include <benchmark/benchmark.h>

#include <array>

namespace {

std::array<QString, 24> registers()
{
    std::array<QString, 24> reg5;
    for (int n = 0; n < 24; ++n)
        reg5[n] = QString::number(n, 2).rightJustified(5, QLatin1Char('0'));
    return reg5;
}

void readDac(bus::Master& i2c, const std::array<QString, 24>& reg5)
{
    const QString a0 = QStringLiteral("0");
    benchmark::DoNotOptimize(i2c.probe(bus::writeAddress(a0)));
    for (const QString& reg : reg5)
        benchmark::DoNotOptimize(bus::readRegister(i2c, a0, reg));
    benchmark::DoNotOptimize(bus::readBankStatusWord(i2c, a0));
}

void BM_ReadDacKernelAdapter(benchmark::State& state)
{
    i2cemu::I2cEmulator emulator;
    i2cdev::KernelI2cBus i2c;
    i2c.open(emulator.devicePath());
    const std::array<QString, 24> reg5 = registers();

    for (auto _ : state) {
        state.PauseTiming();
        emulator.clearTransactions();
        state.ResumeTiming();
        readDac(i2c, reg5);
    }
    state.counters["transactions"] = double(emulator.transactions().size());

    sim::SimulatedBoard board;
    board.open(1);
    RecordingPort tap(&board);
    bus::I2cMaster line(tap);
    readDac(line, reg5);
    state.counters["line_level_transactions"] = double(bustrace::decode(tap.requests).size());
}
BENCHMARK(BM_ReadDacKernelAdapter)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
