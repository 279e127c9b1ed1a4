// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "app/connection.h"
#include "bus/i2c_master.h"
#include "bus/interrupter.h"
#include "model/channel_model.h"
#include "model/settings_store.h"
#include "serial/heartbeat_port.h"
#include "serial/port_catalog.h"
#include "serial/serial_link.h"
#include "serial/tracing_port.h"

#include <chrono>
#include <memory>
#include <optional>

namespace app {

// The program's long-lived state, made once in main() (and afresh by each test): the settings store, the
// port object, the serial link, the I2C master and the channel model. Windows get a reference.
class Bench {
public:
    // device is the port object the program talks through: a POSIX port or the simulated board. catalog
    // is the COMn mapping a POSIX port resolves through (null for the simulated board). With a trace path
    // every line request is also recorded there.
    Bench(const QString& settingsPath, std::unique_ptr<serial::SerialPort> device,
          std::unique_ptr<serial::PortCatalog> catalog = {}, const QByteArray& tracePath = {});
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // The real serial devices of this machine, mapped through the settings' "Ports" section.
    static std::unique_ptr<Bench> forSystem(const QString& settingsPath, const QByteArray& tracePath = {});
    // The simulated board as COM1 and no real devices; every line request takes lineLatency, as on a USB
    // adapter.
    static std::unique_ptr<Bench> simulated(const QString& settingsPath, const QByteArray& tracePath = {},
                                            std::chrono::nanoseconds lineLatency = {});

    serial::SerialPort& device() { return *device_; }
    serial::PortCatalog* catalog() { return catalog_.get(); }

    // The settings in use written to the settings file, all five entries: the exit-time save. Cheap, and
    // the same when repeated. Returns why it failed (once, until a write goes through).
    std::optional<QString> saveSettings() { return settings.save_settings(channels, link); }
    // Those of the entries that changed since they were last read or written, as they change.
    std::optional<QString> saveChangedSettings() { return settings.save_changes(channels, link); }
    // Reads the settings again: the window follows through the channel model's grid, and a port or rate
    // that differs from the open one is opened as a pick in the port dialog would.
    void reloadSettings();

    // Writes out the bus trace so far and tells why it is incomplete; nullopt without a failure or a trace.
    std::optional<QString> flushTrace();

    model::SettingsStore settings;
    // The batch window's memory of a click in its file list, which outlives the window.
    int list_clicked = 0;

private:
    std::unique_ptr<serial::PortCatalog> catalog_;
    std::unique_ptr<serial::SerialPort> device_;
    std::unique_ptr<serial::TracingPort> trace_;

public:
    // Between the port (and its trace) and everything that talks through it: a window hooks its beat in
    // here to stay alive through long bus work.
    serial::HeartbeatPort heartbeat;
    serial::SerialLink link;
    bus::I2cMaster i2c;
    // Asked to stop (a close, a signal), the bus work ends at the next transaction boundary.
    bus::Interrupter interrupter;
    model::ChannelModel channels;
    // Checked at every port open; the windows and the command line show it.
    Connection connection;
};

} // namespace app
