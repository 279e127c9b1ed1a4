// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// CPU used by wait_seconds: the wait must sleep in the event loop, not spin. Prints the share of one core
// that a 1 s wait costs (the aim is well under 2 %).
#include "model/wait.h"

#include <QCoreApplication>

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
    QCoreApplication app(argc, argv);
    const double wall0 = seconds(CLOCK_MONOTONIC);
    const double cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
    model::wait_seconds(1.0);
    const double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    const double wall = seconds(CLOCK_MONOTONIC) - wall0;
    std::printf("wait_seconds(1.0): %.3f s elapsed, %.3f ms CPU, %.3f %% of one core\n", wall, cpu * 1e3,
                100.0 * cpu / wall);
    return 0;
}
