// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// What the bus monitor costs the bus work, per pointer write on the simulated board: with the monitor closed
// (nothing watches the bus), with its log alone, and with the window open on the offscreen platform. Both
// catch up once per 1,000 transactions, as the table does whenever the event loop runs between commands.
// rss_growth_KiB is the resident memory a million transactions leave held.
#include "app/bench.h"
#include "bus/device.h"
#include "ui/bus_log.h"
#include "ui/bus_monitor.h"
#include "ui/main_window.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <unistd.h>

namespace {

enum Watching { Closed, LogAlone, WindowOpen };

double residentKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024 : 0;
}

void BM_PointerWrite(benchmark::State& state)
{
    QTemporaryDir dir;
    auto bench = app::Bench::simulated(dir.filePath(QStringLiteral("KRM72340.ini")));
    bench->engine().device().open(1);
    ui::MainWindow window(*bench);
    std::unique_ptr<ui::BusLog> log;
    std::unique_ptr<ui::BusMonitor> monitor;
    if (state.range(0) == LogAlone)
        log = std::make_unique<ui::BusLog>(bench->engine());
    if (state.range(0) == WindowOpen) {
        monitor = std::make_unique<ui::BusMonitor>(window);
        monitor->show();
    }
    const QString address = bus::writeAddress(QStringLiteral("0"));
    const QString pointer = QStringLiteral("00010111");
    const double before = residentKiB();
    std::int64_t n = 0;
    for (auto _ : state) {
        bench->engine().master().i2cWritePointer(address, pointer);
        if (state.range(0) != Closed && ++n % 1000 == 0)
            QCoreApplication::processEvents();
    }
    state.counters["rss_growth_KiB"] = residentKiB() - before;
}
BENCHMARK(BM_PointerWrite)
    ->ArgName("closed_log_window")
    ->Arg(Closed)
    ->Arg(LogAlone)
    ->Arg(WindowOpen)
    ->Iterations(1000000);

} // namespace
