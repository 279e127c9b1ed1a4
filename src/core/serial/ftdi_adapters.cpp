// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "serial/ftdi_adapters.h"

#include "serial/port_holders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace serial {

namespace {

QString readAttribute(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).trimmed();
}

// ftdi_sio puts the tty below the interface: 1-2/1-2:1.0/ttyUSB0.
QString ttyOf(const QDir& device)
{
    for (const QString& interface :
         device.entryList({device.dirName() + QStringLiteral(":*")}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QStringList ttys =
            QDir(device.filePath(interface))
                .entryList({QStringLiteral("ttyUSB*")}, QDir::Dirs | QDir::NoDotAndDotDot);
        if (!ttys.isEmpty())
            return QStringLiteral("/dev/") + ttys.first();
    }
    return {};
}

// Who else has the adapter: a terminal program on its tty (by its lock, or seen in /proc), or a program
// that drives it through libusb as we do (its USB node open).
QString holderOf(const FtdiAdapter& adapter)
{
    if (!adapter.tty.isEmpty()) {
        std::optional<Holder> holder = lockHolder(adapter.tty);
        if (!holder)
            holder = findOtherOpener(adapter.tty);
        if (holder)
            return holder->text() + QStringLiteral(" on ") + adapter.tty;
    }
    if (const auto holder = findOtherOpener(adapter.usbNode()))
        return holder->text() + QStringLiteral(" through its USB node");
    return {};
}

std::optional<FtdiAdapter> adapterAt(const QString& devicePath)
{
    const QDir device(devicePath);
    FtdiAdapter adapter;
    adapter.vendorId = readAttribute(device.filePath(QStringLiteral("idVendor"))).toUShort(nullptr, 16);
    adapter.productId = readAttribute(device.filePath(QStringLiteral("idProduct"))).toUShort(nullptr, 16);
    if (adapter.vendorId != kFtdiVendor ||
        (adapter.productId != kFt232rProduct && adapter.productId != kFtxProduct))
        return std::nullopt;
    adapter.product = readAttribute(device.filePath(QStringLiteral("product")));
    adapter.serial = readAttribute(device.filePath(QStringLiteral("serial")));
    adapter.bus = readAttribute(device.filePath(QStringLiteral("busnum"))).toInt();
    adapter.address = readAttribute(device.filePath(QStringLiteral("devnum"))).toInt();
    adapter.tty = ttyOf(device);
    adapter.busy = holderOf(adapter);
    return adapter;
}

} // namespace

QString FtdiAdapter::chip() const
{
    return productId == kFtxProduct ? QStringLiteral("FT-X") : QStringLiteral("FT232R");
}

QString FtdiAdapter::url() const
{
    return QStringLiteral("ftdi://") + serial;
}

QString FtdiAdapter::usbNode() const
{
    return QStringLiteral("/dev/bus/usb/%1/%2")
        .arg(bus, 3, 10, QLatin1Char('0'))
        .arg(address, 3, 10, QLatin1Char('0'));
}

QList<FtdiAdapter> findFtdiAdapters(const QString& sysRoot)
{
    const QDir devices(sysRoot + QStringLiteral("/bus/usb/devices"));
    QList<FtdiAdapter> adapters;
    for (const QString& name : devices.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        // Interfaces (1-2:1.0) sit beside their devices here.
        if (name.contains(QLatin1Char(':')))
            continue;
        if (auto adapter = adapterAt(devices.filePath(name)))
            adapters.append(*adapter);
    }
    std::sort(adapters.begin(), adapters.end(), [](const FtdiAdapter& a, const FtdiAdapter& b) {
        return std::pair(a.bus, a.address) < std::pair(b.bus, b.address);
    });
    return adapters;
}

std::optional<FtdiAdapter> ftdiAdapterOfTty(const QString& ttyPath, const QString& sysRoot)
{
    const QString name = QFileInfo(deviceBehind(ttyPath)).fileName();
    // The USB device is the nearest ancestor of the tty's device that carries idVendor.
    const QString device =
        QFileInfo(sysRoot + QStringLiteral("/class/tty/") + name + QStringLiteral("/device"))
            .canonicalFilePath();
    if (device.isEmpty())
        return std::nullopt;
    QDir dir(device);
    for (int depth = 0; depth < 4 && !dir.isRoot(); ++depth) {
        if (dir.exists(QStringLiteral("idVendor")))
            return adapterAt(dir.path());
        if (!dir.cdUp())
            break;
    }
    return std::nullopt;
}

} // namespace serial
