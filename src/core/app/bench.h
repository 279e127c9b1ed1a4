// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "engine/engine.h"
#include "model/channel_model.h"
#include "model/settings_store.h"
#include "serial/port_catalog.h"
#include "serial/port_holders.h"
#include "serial/serial_link.h"

#include <chrono>
#include <memory>
#include <optional>

namespace app {

// The program's long-lived state, made once in main() (and afresh by each test): the settings, the serial
// link's selection, the channel model and the bus engine with its transport. The channel model sends to the
// engine at once until a window gives it a sink of its own.
class Bench {
public:
    // device is the port object the program talks through: a POSIX port or the simulated board. catalog
    // is the COMn mapping a POSIX port resolves through (null for the simulated board). With a trace path
    // every line request is also recorded there (a trace that cannot be created throws serial::PortError).
    Bench(const QString& settingsPath, std::unique_ptr<serial::SerialPort> device,
          std::unique_ptr<serial::PortCatalog> catalog = {}, const QByteArray& tracePath = {});
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // The ports of this machine, mapped through the settings' "Ports" section: its serial devices, the
    // FTDI adapters in synchronous bit-bang and the kernel I2C adapters the user may open. A device given
    // (--port, a path or "ftdi://...") that no COM name maps to yet is added to the mapping for this run.
    // lockDir: where the UUCP lock files live; sysRoot: the system's device tree.
    static std::unique_ptr<Bench> forSystem(const QString& settingsPath, const QByteArray& tracePath = {},
                                            const QString& lockDir = serial::UucpLock::defaultDir(),
                                            const QString& device = {},
                                            const QString& sysRoot = QStringLiteral("/sys"));
    // What forSystem finds on this machine below sysRoot and devRoot, without opening anything.
    static QList<serial::SerialDevice> systemDevices(const QString& sysRoot = QStringLiteral("/sys"),
                                                     const QString& devRoot = QStringLiteral("/dev"));
    // The COM number the catalog gives a device, compared as the devices behind the names (a by-id link and
    // its ttyUSB0 are one); 0 when none does.
    static int portOfDevice(const serial::PortCatalog& catalog, const QString& device);
    // The simulated board as COM1 and no real devices; every line request takes lineLatency, as on a USB
    // adapter.
    static std::unique_ptr<Bench> simulated(const QString& settingsPath, const QByteArray& tracePath = {},
                                            std::chrono::nanoseconds lineLatency = {});

    model::SettingsStore& settings() { return settings_; }
    model::ChannelModel& channels() { return channels_; }
    serial::SerialLink& link() { return link_; }
    const serial::PortCatalog* catalog() const { return catalog_.get(); }
    engine::Engine& engine() { return *engine_; }

    // The settings in use written to the settings file, all five entries: the exit-time save. Cheap, and
    // the same when repeated. Returns why it failed (once, until a write goes through).
    std::optional<QString> saveSettings();
    // Those of the entries that changed since they were last read or written, as they change.
    std::optional<QString> saveChangedSettings();
    // Reads the settings into the model and the link; a port given on the command line stays selected.
    // Returns a text for each entry that could not be used as stored.
    QStringList loadSettings();
    // Reads the settings again; the window follows through the channel model's grid. True when the port
    // or the rate differs from the one in use: it is to be opened as a pick in the port dialog would.
    bool reloadSettings();
    // For this run the port given on the command line is selected, not the stored one, which the settings
    // keep as they had it; until a port is picked in COM Setting (nullopt).
    void setPortOverride(std::optional<qint16> port) { portOverride_ = port; }

    // The batch window's memory of a click in its file list, which outlives the window.
    int list_clicked = 0;

private:
    model::SettingsStore settings_;
    std::unique_ptr<serial::PortCatalog> catalog_;
    std::unique_ptr<engine::Engine> engine_;
    serial::SerialLink link_;
    model::ChannelModel channels_;
    std::optional<qint16> portOverride_;
    qint16 storedPort_ = 0;
};

} // namespace app
