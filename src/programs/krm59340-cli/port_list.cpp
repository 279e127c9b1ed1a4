// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "port_list.h"

#include "app/bench.h"
#include "i2cdev/adapter_list.h"
#include "serial/ftdi_adapters.h"
#include "serial/port_catalog.h"
#include "serial/port_holders.h"
#include "serial/system_port.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

#include <algorithm>

#include <cerrno>
#include <unistd.h>

namespace cli {

namespace {

QJsonObject holderObject(const serial::Holder& holder)
{
    return {{QStringLiteral("pid"), holder.pid}, {QStringLiteral("name"), holder.name}};
}

// What a user who tried to open the device now would meet; touches the device only through stat and access.
void describeState(const QString& device, const QString& lockDir, QJsonObject& port)
{
    const QString state = QStringLiteral("state");
    if (!QFileInfo::exists(device)) {
        port.insert(state, QStringLiteral("missing"));
        return;
    }
    if (auto holder = serial::lockHolder(device, lockDir);
        holder || (holder = serial::findOtherOpener(device))) {
        port.insert(state, QStringLiteral("in use"));
        port.insert(QStringLiteral("holder"), holderObject(*holder));
        return;
    }
    if (::access(QFile::encodeName(device).constData(), R_OK | W_OK) != 0 &&
        (errno == EACCES || errno == EPERM)) {
        port.insert(state, QStringLiteral("no permission"));
        const QString group = serial::owningGroup(device);
        port.insert(QStringLiteral("group"), group.isEmpty() ? QStringLiteral("dialout") : group);
        return;
    }
    port.insert(state, QStringLiteral("free"));
}

} // namespace

QJsonArray listPorts(const serial::PortCatalog* catalog, const QString& lockDir, int selected)
{
    QJsonArray ports;
    if (!catalog) {
        ports.append(QJsonObject{{QStringLiteral("name"), QStringLiteral("COM1")},
                                 {QStringLiteral("kind"), QStringLiteral("simulated")},
                                 {QStringLiteral("device"), QJsonValue::Null},
                                 {QStringLiteral("adapter"), QStringLiteral("simulated board")},
                                 {QStringLiteral("state"), QStringLiteral("free")},
                                 {QStringLiteral("selected"), selected == 1}});
        return ports;
    }
    const QList<serial::FtdiAdapter> ftdi = serial::findFtdiAdapters(catalog->sysRoot());
    const QList<i2cdev::Adapter> kernel = i2cdev::listAdapters(catalog->sysRoot());
    QStringList listed;
    const auto nameOf = [catalog](const QString& device) {
        const int n = app::Bench::portOfDevice(*catalog, device);
        return n > 0 ? QJsonValue(QStringLiteral("COM%1").arg(n)) : QJsonValue(QJsonValue::Null);
    };
    const auto addFtdi = [&](const serial::FtdiAdapter& adapter, QJsonObject port) {
        port.insert(QStringLiteral("kind"), QStringLiteral("ftdi"));
        port.insert(QStringLiteral("serial"), adapter.serial);
        port.insert(QStringLiteral("usb"), QStringLiteral("%1/%2").arg(adapter.bus).arg(adapter.address));
        port.insert(QStringLiteral("state"),
                    adapter.busy.isEmpty() ? QStringLiteral("free") : QStringLiteral("in use"));
        if (!adapter.busy.isEmpty())
            port.insert(QStringLiteral("holder"), QJsonObject{{QStringLiteral("name"), adapter.busy}});
        ports.append(port);
    };
    const auto addKernel = [&](const i2cdev::Adapter& adapter, QJsonObject port) {
        port.insert(QStringLiteral("kind"), QStringLiteral("i2c"));
        port.insert(QStringLiteral("state"),
                    adapter.usable ? QStringLiteral("free") : QStringLiteral("no permission"));
        if (!adapter.usable)
            port.insert(QStringLiteral("group"),
                        adapter.group.isEmpty() ? QStringLiteral("i2c") : adapter.group);
        ports.append(port);
    };
    for (int n = 1; n <= serial::kLastPort; ++n) {
        const QString device = catalog->devicePath(n);
        if (device.isEmpty())
            continue;
        listed << device;
        QJsonObject port{{QStringLiteral("name"), QStringLiteral("COM%1").arg(n)},
                         {QStringLiteral("device"), device},
                         {QStringLiteral("adapter"), catalog->description(n)},
                         {QStringLiteral("selected"), selected == n}};
        if (serial::isFtdiUrl(device)) {
            const auto found = std::find_if(ftdi.begin(), ftdi.end(), [&](const serial::FtdiAdapter& a) {
                return a.url() == device || (device == QLatin1String("ftdi://") && ftdi.size() == 1);
            });
            if (found != ftdi.end()) {
                addFtdi(*found, port);
                continue;
            }
            port.insert(QStringLiteral("kind"), QStringLiteral("ftdi"));
            port.insert(QStringLiteral("state"), QStringLiteral("missing"));
            ports.append(port);
            continue;
        }
        const auto adapter = std::find_if(kernel.begin(), kernel.end(),
                                          [&](const i2cdev::Adapter& a) { return a.path == device; });
        if (adapter != kernel.end()) {
            addKernel(*adapter, port);
            continue;
        }
        port.insert(QStringLiteral("kind"), QStringLiteral("serial"));
        if (const QString console = serial::PortCatalog::consoleName(device, catalog->sysRoot());
            !console.isEmpty()) {
            port.insert(QStringLiteral("state"), QStringLiteral("console"));
            port.insert(QStringLiteral("reason"),
                        QStringLiteral("the system console (%1), never a bench port").arg(console));
            ports.append(port);
            continue;
        }
        describeState(device, lockDir, port);
        ports.append(port);
    }
    // The adapters no COM name maps to: what the [Ports] section (or --port) could name.
    for (const serial::FtdiAdapter& adapter : ftdi)
        if (!listed.contains(adapter.url()))
            addFtdi(adapter,
                    {{QStringLiteral("name"), nameOf(adapter.url())},
                     {QStringLiteral("device"), adapter.url()},
                     {QStringLiteral("adapter"),
                      QStringLiteral("%1 %2, synchronous bit-bang").arg(adapter.chip(), adapter.serial)},
                     {QStringLiteral("selected"), false}});
    for (const i2cdev::Adapter& adapter : kernel)
        if (!listed.contains(adapter.path))
            addKernel(adapter, {{QStringLiteral("name"), QJsonValue::Null},
                                {QStringLiteral("device"), adapter.path},
                                {QStringLiteral("adapter"),
                                 QStringLiteral("I2C adapter %1%2")
                                     .arg(adapter.node, adapter.name.isEmpty()
                                                            ? QString()
                                                            : QStringLiteral(" (%1)").arg(adapter.name))},
                                {QStringLiteral("selected"), false}});
    return ports;
}

} // namespace cli
