// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "i2cdev/adapter_list.h"

#include "serial/port_catalog.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace i2cdev {

QString adapterName(const QString& sysRoot, const QString& node)
{
    QFile file(sysRoot + QStringLiteral("/class/i2c-dev/") + node + QStringLiteral("/name"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // A sysfs attribute is one line; a driver's name never runs near this long.
    return QString::fromUtf8(file.read(256)).trimmed();
}

QList<Adapter> listAdapters(const QString& sysRoot, const QString& devRoot)
{
    static const QRegularExpression nodeName(QStringLiteral("^i2c-(\\d+)$"));
    QList<Adapter> adapters;
    const QDir classDir(sysRoot + QStringLiteral("/class/i2c-dev"));
    for (const QString& entry : classDir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)) {
        if (!nodeName.match(entry).hasMatch())
            continue;
        Adapter adapter;
        adapter.node = entry;
        adapter.path = devRoot + QLatin1Char('/') + entry;
        adapter.name = adapterName(sysRoot, entry);
        const QByteArray node = QFile::encodeName(adapter.path);
        const int error = ::access(node.constData(), R_OK | W_OK) == 0 ? 0 : errno;
        adapter.usable = error == 0;
        if (!adapter.usable) {
            adapter.problem = QString::fromLocal8Bit(std::strerror(error));
            adapter.group = serial::owningGroup(adapter.path);
        }
        adapters.append(adapter);
    }
    const auto number = [](const Adapter& adapter) { return adapter.node.mid(4).toInt(); };
    std::sort(adapters.begin(), adapters.end(),
              [&](const Adapter& a, const Adapter& b) { return number(a) < number(b); });
    return adapters;
}

} // namespace i2cdev
