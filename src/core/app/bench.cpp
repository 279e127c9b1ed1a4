// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app/bench.h"

#include "serial/posix_serial_port.h"
#include "sim/simulated_board.h"

namespace app {

namespace {

std::unique_ptr<serial::TracingPort> makeTrace(serial::SerialPort& device, const QByteArray& path)
{
    if (path.isEmpty())
        return {};
    // The simulated board knows its wire levels; a real port is asked through DSR.
    serial::TracingPort::SdaWire wire;
    if (const auto* board = dynamic_cast<const sim::SimulatedBoard*>(&device))
        wire = [board] { return board->sdaWire(); };
    return std::make_unique<serial::TracingPort>(device, path, std::move(wire));
}

serial::SerialPort& busPort(serial::SerialPort& device, const std::unique_ptr<serial::TracingPort>& trace)
{
    return trace ? static_cast<serial::SerialPort&>(*trace) : device;
}

} // namespace

Bench::Bench(const QString& settingsPath, std::unique_ptr<serial::SerialPort> device,
             std::unique_ptr<serial::PortCatalog> catalog, const QByteArray& tracePath)
    : settings(settingsPath), catalog_(std::move(catalog)), device_(std::move(device)),
      trace_(makeTrace(*device_, tracePath)), heartbeat(busPort(*device_, trace_)), link(heartbeat),
      i2c(heartbeat), channels(i2c), connection(link, catalog_.get(), i2c, channels)
{
    i2c.addObserver(&interrupter);
    link.setOpenedHandler([this] { connection.afterOpen(); });
}

Bench::~Bench() = default;

void Bench::reloadSettings()
{
    const qint16 port = link.PortNumber;
    const qint32 rate = link.BitRate;
    settings.load_settings(channels, link);
    if (link.PortNumber != port || link.BitRate != rate)
        link.OpenSelectedPort();
}

std::optional<QString> Bench::flushTrace()
{
    if (!trace_)
        return std::nullopt;
    trace_->flush();
    return trace_->failure();
}

std::unique_ptr<Bench> Bench::forSystem(const QString& settingsPath, const QByteArray& tracePath)
{
    model::SettingsStore store(settingsPath);
    auto catalog = std::make_unique<serial::PortCatalog>(store.portMap(), serial::PortCatalog::scanSystem());
    auto port = std::make_unique<serial::PosixSerialPort>(*catalog);
    return std::make_unique<Bench>(settingsPath, std::move(port), std::move(catalog), tracePath);
}

std::unique_ptr<Bench> Bench::simulated(const QString& settingsPath, const QByteArray& tracePath,
                                        std::chrono::nanoseconds lineLatency)
{
    auto board = std::make_unique<sim::SimulatedBoard>();
    board->setLineLatency(lineLatency);
    return std::make_unique<Bench>(settingsPath, std::move(board), nullptr, tracePath);
}

} // namespace app
