// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// What a command's wait costs the machine: the 0.1 s wait before every read-back, and a batch's delays, sleep
// in the event loop. Prints the CPU a 1 s wait takes.
#include "app/bench.h"
#include "engine/bus_thread.h"
#include "ui/commands.h"

#include <QApplication>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>

namespace {

double seconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    auto bench = app::Bench::simulated(dir.filePath(QStringLiteral("KRM72340.ini")));
    engine::BusThread bus(bench->engine());
    ui::Commands commands(bus, nullptr);
    double wall = 0, cpu = 0;
    commands.post([&]() -> ui::Task<> {
        const double wall0 = seconds(CLOCK_MONOTONIC);
        const double cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
        co_await commands.wait_seconds(1.0);
        cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
        wall = seconds(CLOCK_MONOTONIC) - wall0;
        QCoreApplication::quit();
    });
    QApplication::exec();
    std::printf("wait_seconds(1.0): %.3f s elapsed, %.3f ms CPU, %.3f %% of one core\n", wall, cpu * 1e3,
                100.0 * cpu / wall);
    return 0;
}
