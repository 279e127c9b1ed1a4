// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app/bench.h"

#include "serial/posix_serial_port.h"
#include "sim/simulated_board.h"

namespace app {

Bench::Bench(const QString& settingsPath, std::unique_ptr<serial::SerialPort> device,
             std::unique_ptr<serial::PortCatalog> catalog, const QByteArray& tracePath)
    : settings_(settingsPath), catalog_(std::move(catalog)),
      engine_(std::make_unique<engine::Engine>(std::move(device), catalog_.get(), tracePath)),
      // Finding the ports looks at the system's device list (or the board) and opens nothing.
      link_([port = &engine_->device()](int n) { return port->exists(n); })
{
    channels_.setSink(engine_.get());
}

Bench::~Bench() = default;

bool Bench::reloadSettings()
{
    const qint16 port = link_.PortNumber;
    const qint32 rate = link_.BitRate;
    settings_.load_settings(channels_, link_);
    return link_.PortNumber != port || link_.BitRate != rate;
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
