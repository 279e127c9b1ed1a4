// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "bench_setup.h"

#include "command_line.h"
#include "serial/port_catalog.h"
#include "serial/posix_serial_port.h"

#include <QFileInfo>

namespace cli {

namespace {

QString sameDevice(const QString& path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    return target.isEmpty() ? path : target;
}

} // namespace

QString lockDirectory()
{
    const QString dir = qEnvironmentVariable("KRM59340_LOCK_DIR");
    return dir.isEmpty() ? serial::UucpLock::defaultDir() : dir;
}

int portOfDevice(const serial::PortCatalog& catalog, const QString& device)
{
    for (int n = 1; n <= serial::kLastPort; ++n)
        if (!catalog.devicePath(n).isEmpty() && sameDevice(catalog.devicePath(n)) == sameDevice(device))
            return n;
    return 0;
}

std::unique_ptr<app::Bench> makeBench(const Request& request, const QString& settingsPath,
                                      const QString& lockDir)
{
    if (request.simulate)
        return app::Bench::simulated(settingsPath, request.busTrace, request.lineLatency);
    QMap<int, QString> map = model::SettingsStore(settingsPath).portMap();
    const QList<serial::SerialDevice> devices = serial::PortCatalog::scanSystem();
    auto catalog = std::make_unique<serial::PortCatalog>(map, devices);
    if (!request.device.isEmpty() && portOfDevice(*catalog, request.device) == 0) {
        // The first number no mapping claims; the system's devices move up one, as the window would list
        // them with this mapping in the settings.
        int n = 1;
        while (n < serial::kLastPort && map.contains(n))
            ++n;
        map.insert(n, request.device);
        catalog = std::make_unique<serial::PortCatalog>(map, devices);
    }
    auto port = std::make_unique<serial::PosixSerialPort>(*catalog, lockDir);
    return std::make_unique<app::Bench>(settingsPath, std::move(port), std::move(catalog), request.busTrace);
}

} // namespace cli
