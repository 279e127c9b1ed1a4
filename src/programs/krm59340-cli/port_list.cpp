// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "port_list.h"

#include "serial/port_catalog.h"
#include "serial/port_holders.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

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
                                 {QStringLiteral("device"), QJsonValue::Null},
                                 {QStringLiteral("adapter"), QStringLiteral("simulated board")},
                                 {QStringLiteral("state"), QStringLiteral("free")},
                                 {QStringLiteral("selected"), selected == 1}});
        return ports;
    }
    for (int n = 1; n <= serial::kLastPort; ++n) {
        const QString device = catalog->devicePath(n);
        if (device.isEmpty())
            continue;
        QJsonObject port{{QStringLiteral("name"), QStringLiteral("COM%1").arg(n)},
                         {QStringLiteral("device"), device},
                         {QStringLiteral("adapter"), catalog->description(n)},
                         {QStringLiteral("selected"), selected == n}};
        describeState(device, lockDir, port);
        ports.append(port);
    }
    return ports;
}

} // namespace cli
