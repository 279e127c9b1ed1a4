// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "bench_setup.h"

#include "command_line.h"
#include "serial/port_holders.h"

namespace cli {

QString lockDirectory()
{
    const QString dir = qEnvironmentVariable("KRM59340_LOCK_DIR");
    return dir.isEmpty() ? serial::UucpLock::defaultDir() : dir;
}

std::unique_ptr<app::Bench> makeBench(const Request& request, const QString& settingsPath,
                                      const QString& lockDir)
{
    if (request.simulate)
        return app::Bench::simulated(settingsPath, request.busTrace, request.lineLatency);
    // The system's device tree, or a stand-in for it (tests).
    const QString sysRoot = qEnvironmentVariable("KRM59340_SYSFS_ROOT", QStringLiteral("/sys"));
    return app::Bench::forSystem(settingsPath, request.busTrace, lockDir, request.device, sysRoot);
}

} // namespace cli
