// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app/bench.h"

#include "i2cdev/adapter_list.h"
#include "serial/ftdi_adapters.h"
#include "serial/system_port.h"
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

QStringList Bench::loadSettings()
{
    QStringList warnings = settings_.load_settings(channels_, link_);
    storedPort_ = link_.PortNumber;
    if (portOverride_)
        link_.PortNumber = *portOverride_;
    return warnings;
}

bool Bench::reloadSettings()
{
    const qint16 port = link_.PortNumber;
    const qint32 rate = link_.BitRate;
    loadSettings();
    return link_.PortNumber != port || link_.BitRate != rate;
}

namespace {

// The port number the settings see: while a port given on the command line is in use, the stored one.
class StoredPort {
public:
    StoredPort(serial::SerialLink& link, const std::optional<qint16>& overridden, qint16 stored)
        : link_(link), inUse_(link.PortNumber), active_(overridden.has_value())
    {
        if (active_)
            link_.PortNumber = stored;
    }
    ~StoredPort()
    {
        if (active_)
            link_.PortNumber = inUse_;
    }
    StoredPort(const StoredPort&) = delete;
    StoredPort& operator=(const StoredPort&) = delete;

private:
    serial::SerialLink& link_;
    qint16 inUse_;
    bool active_;
};

} // namespace

std::optional<QString> Bench::saveSettings()
{
    const StoredPort stored(link_, portOverride_, storedPort_);
    return settings_.save_settings(channels_, link_);
}

std::optional<QString> Bench::saveChangedSettings()
{
    const StoredPort stored(link_, portOverride_, storedPort_);
    return settings_.save_changes(channels_, link_);
}

QList<serial::SerialDevice> Bench::systemDevices(const QString& sysRoot, const QString& devRoot)
{
    QList<serial::SerialDevice> devices =
        serial::PortCatalog::scanSysfs(sysRoot + QStringLiteral("/class/tty"));
    for (serial::SerialDevice& tty : devices)
        if (const auto adapter = serial::ftdiAdapterOfTty(tty.path, sysRoot))
            tty.fastPath = adapter->url();
    for (const serial::FtdiAdapter& adapter : serial::findFtdiAdapters(sysRoot))
        devices.append({adapter.url(),
                        QStringLiteral("%1 %2, synchronous bit-bang").arg(adapter.chip(), adapter.serial),
                        {}});
    // Only those the user may open: a PC has many (its graphics' display channels among them), and a port
    // number is no place for a bus nobody here can use.
    for (const i2cdev::Adapter& adapter : i2cdev::listAdapters(sysRoot, devRoot))
        if (adapter.usable)
            devices.append(
                {adapter.path,
                 QStringLiteral("I2C adapter %1%2: kernel driver")
                     .arg(adapter.node,
                          adapter.name.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(adapter.name)),
                 {}});
    return devices;
}

int Bench::portOfDevice(const serial::PortCatalog& catalog, const QString& device)
{
    const auto sameDevice = serial::deviceBehind;
    for (int n = serial::kFirstPort; n <= serial::kLastPort; ++n)
        if (!catalog.devicePath(n).isEmpty() && sameDevice(catalog.devicePath(n)) == sameDevice(device))
            return n;
    return 0;
}

std::unique_ptr<Bench> Bench::forSystem(const QString& settingsPath, const QByteArray& tracePath,
                                        const QString& lockDir, const QString& device, const QString& sysRoot)
{
    QMap<int, QString> map = model::SettingsStore(settingsPath).portMap();
    const QList<serial::SerialDevice> devices = systemDevices(sysRoot);
    auto catalog = std::make_unique<serial::PortCatalog>(map, devices);
    if (!device.isEmpty() && portOfDevice(*catalog, device) == 0) {
        // The first number no mapping claims; the system's devices move up one, as the window would list
        // them with this mapping in the settings.
        int n = serial::kFirstPort;
        while (n < serial::kLastPort && map.contains(n))
            ++n;
        map.insert(n, device);
        catalog = std::make_unique<serial::PortCatalog>(map, devices);
    }
    catalog->setSysRoot(sysRoot);
    auto port = std::make_unique<serial::SystemPort>(*catalog, lockDir);
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
