// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "serial/port_catalog.h"

#include "serial/port_holders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>

namespace serial {

namespace {

// ttyUSB before ttyACM before the UARTs, so a plugged-in adapter becomes COM1 whatever else the PC has; the
// ports that are no ttys after them, so that adding them moved no tty's number.
int kindRank(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    if (path.startsWith(QLatin1String("ftdi://")))
        return 3;
    if (name.startsWith(QLatin1String("i2c-")))
        return 4;
    if (name.startsWith(QLatin1String("ttyUSB")))
        return 0;
    if (name.startsWith(QLatin1String("ttyACM")))
        return 1;
    return 2;
}

int deviceNumber(const QString& name)
{
    static const QRegularExpression trailingDigits(QStringLiteral("(\\d+)$"));
    const auto match = trailingDigits.match(name);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

QString readAttribute(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).trimmed();
}

// The USB device a tty hangs off is the nearest ancestor carrying idVendor; going further would find the
// root hub's "xHCI Host Controller".
QString usbProductName(const QString& deviceDir)
{
    QDir dir(QFileInfo(deviceDir).canonicalFilePath());
    for (int depth = 0; depth < 8 && !dir.isRoot() && dir.dirName() != QLatin1String("devices"); ++depth) {
        if (dir.exists(QStringLiteral("idVendor"))) {
            const QString product = readAttribute(dir.filePath(QStringLiteral("product")));
            const QString maker = readAttribute(dir.filePath(QStringLiteral("manufacturer")));
            if (product.isEmpty() || maker.isEmpty() || product.contains(maker))
                return product;
            return maker + QLatin1Char(' ') + product;
        }
        if (!dir.cdUp())
            break;
    }
    return {};
}

// Newer kernels put serial-base "port"/"ctrl" drivers between the tty and the real driver; they mean nothing
// to the user, so the name comes from the first driver above them.
QString driverName(const QString& deviceDir)
{
    QDir dir(QFileInfo(deviceDir).canonicalFilePath());
    for (int depth = 0; depth < 8 && !dir.isRoot(); ++depth) {
        const QString driver = QFileInfo(dir.filePath(QStringLiteral("driver"))).canonicalFilePath();
        if (!driver.isEmpty() && !driver.contains(QLatin1String("/serial-base/")))
            return QFileInfo(driver).fileName();
        if (!dir.cdUp())
            break;
    }
    return {};
}

bool isConsole(const QString& entryDir, const QString& name, const QStringList& activeConsoles)
{
    return activeConsoles.contains(name) ||
           readAttribute(entryDir + QStringLiteral("/console")) == QLatin1String("Y");
}

} // namespace

PortCatalog::PortCatalog(QMap<int, QString> explicitMap, QList<SerialDevice> systemDevices)
{
    std::stable_sort(systemDevices.begin(), systemDevices.end(),
                     [](const SerialDevice& a, const SerialDevice& b) {
                         return std::pair(kindRank(a.path), deviceNumber(a.path)) <
                                std::pair(kindRank(b.path), deviceNumber(b.path));
                     });

    // A mapping usually names a stable link (/dev/serial/by-id/...): compare the devices behind the names,
    // or the same adapter would be listed twice and the pinned one would lose its description.
    const auto sameDevice = deviceBehind;
    QSet<QString> mapped;
    for (auto it = explicitMap.cbegin(); it != explicitMap.cend(); ++it) {
        SerialDevice device{it.value(), {}, {}};
        for (const SerialDevice& known : std::as_const(systemDevices))
            if (sameDevice(known.path) == sameDevice(device.path))
                device = {device.path, known.description, known.fastPath};
        ports_.insert(it.key(), device);
        mapped.insert(sameDevice(it.value()));
    }

    int port = kFirstPort;
    for (const SerialDevice& device : std::as_const(systemDevices)) {
        if (mapped.contains(sameDevice(device.path)))
            continue;
        while (port <= kLastPort && ports_.contains(port))
            ++port;
        if (port > kLastPort)
            break;
        ports_.insert(port, device);
    }
}

QList<SerialDevice> PortCatalog::scanSysfs(const QString& ttyClassDir)
{
    static const QRegularExpression serialName(QStringLiteral("^tty(USB|ACM|S)\\d+$"));
    const QDir root(ttyClassDir);
    const QStringList activeConsoles = readAttribute(root.filePath(QStringLiteral("console/active")))
                                           .split(QLatin1Char(' '), Qt::SkipEmptyParts);

    QList<SerialDevice> devices;
    for (const QString& name : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!serialName.match(name).hasMatch())
            continue;
        const QString entryDir = root.filePath(name);
        const QString deviceDir = entryDir + QStringLiteral("/device");
        if (!QFileInfo::exists(deviceDir) || isConsole(entryDir, name, activeConsoles))
            continue;
        // The kernel creates ttyS0..ttyS31 whether or not a UART answers; type 0 means none does.
        if (kindRank(name) == 2) {
            const QString type = readAttribute(entryDir + QStringLiteral("/type"));
            if (type.isEmpty() || type == QLatin1String("0") ||
                !QFileInfo::exists(deviceDir + QStringLiteral("/driver")))
                continue;
        }
        QString description = usbProductName(deviceDir);
        if (description.isEmpty())
            description = driverName(deviceDir);
        devices.append({QStringLiteral("/dev/") + name, description, {}});
    }
    return devices;
}

QString PortCatalog::consoleName(const QString& path, const QString& sysRoot)
{
    struct stat device {};
    if (::stat(QFile::encodeName(path).constData(), &device) != 0 || !S_ISCHR(device.st_mode))
        return {};
    const QDir root(sysRoot + QStringLiteral("/class/tty"));
    const QStringList active = readAttribute(root.filePath(QStringLiteral("console/active")))
                                   .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString behind = deviceBehind(path);
    QStringList candidates = active;
    candidates << QFileInfo(behind).fileName();
    const QString number = QStringLiteral("%1:%2").arg(major(device.st_rdev)).arg(minor(device.st_rdev));
    for (const QString& name : std::as_const(candidates)) {
        const QString entryDir = root.filePath(name);
        if (name.isEmpty() || !isConsole(entryDir, name, active))
            continue;
        const QString recorded = readAttribute(entryDir + QStringLiteral("/dev"));
        if (recorded.isEmpty() ? behind == QStringLiteral("/dev/") + name : recorded == number)
            return name;
    }
    return {};
}

QString PortCatalog::devicePath(int port) const
{
    return ports_.value(port).path;
}

QString PortCatalog::description(int port) const
{
    const SerialDevice device = ports_.value(port);
    if (device.fastPath.isEmpty())
        return device.description;
    // The same cable runs a hundred times faster through its chip's bit-bang mode: say where to pick it.
    QString fast = device.fastPath;
    for (auto it = ports_.cbegin(); it != ports_.cend(); ++it)
        if (it.value().path == device.fastPath)
            fast = QStringLiteral("COM%1 (%2)").arg(it.key()).arg(device.fastPath);
    return QStringLiteral("%1; runs fast as %2").arg(device.description, fast);
}

QString owningGroup(const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) == 0) {
        if (const struct group* owner = ::getgrgid(info.st_gid))
            return QString::fromLocal8Bit(owner->gr_name);
    }
    return {};
}

PortCatalog::PortCatalog(const PortCatalog& other) : ports_(other.ports_), sysRoot_(other.sysRoot_)
{
    const std::lock_guard lock(other.deniedMutex_);
    denied_ = other.denied_;
}

PortCatalog& PortCatalog::operator=(const PortCatalog& other)
{
    if (this == &other)
        return *this;
    ports_ = other.ports_;
    sysRoot_ = other.sysRoot_;
    QMap<int, DeviceProblem> denied;
    {
        const std::lock_guard lock(other.deniedMutex_);
        denied = other.denied_;
    }
    const std::lock_guard lock(deniedMutex_);
    denied_ = std::move(denied);
    return *this;
}

void PortCatalog::notePermissionDenied(int port, const QString& path, const QString& reason)
{
    const DeviceProblem problem{port, path, reason, owningGroup(path)};
    const std::lock_guard lock(deniedMutex_);
    denied_.insert(port, problem);
}

void PortCatalog::clearProblem(int port)
{
    const std::lock_guard lock(deniedMutex_);
    denied_.remove(port);
}

QList<DeviceProblem> PortCatalog::permissionProblems() const
{
    const std::lock_guard lock(deniedMutex_);
    return denied_.values();
}

} // namespace serial
