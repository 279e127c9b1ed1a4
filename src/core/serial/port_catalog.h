// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QList>
#include <QMap>
#include <QString>

#include <mutex>

namespace serial {

// A serial device the system reports.
// A serial device the system reports, or an adapter that carries the bus otherwise ("ftdi://A1B2C3",
// "/dev/i2c-1").
struct SerialDevice {
    QString path;        // "/dev/ttyUSB0"
    QString description; // what the user recognises the cable by, for example the adapter's product name
    QString fastPath;    // for a tty on an FTDI chip: the same cable in synchronous bit-bang ("ftdi://...")
};

// Why a device could not be opened the last time it was tried, kept so the port dialog can explain it.
struct DeviceProblem {
    int port = 0; // COM number
    QString path;
    QString reason; // errno text
    QString group;  // the group that owns the device (for a permission problem), "" when unknown
};

// The group that owns a device (the one to join for the right to open it), "" when unknown.
QString owningGroup(const QString& path);

// COMn -> device. An explicit mapping (settings section "Ports", key "COM<n>", value a device path) wins;
// the system's devices fill the remaining numbers of COM1..COM16 in order: USB adapters first (ttyUSB*,
// then ttyACM*), then ports with a real UART, then FTDI adapters in synchronous bit-bang (ftdi://), then
// kernel I2C adapters (/dev/i2c-N), each kind by number. A device that is mapped explicitly is not listed a
// second time.
// The program names its ports COM1..COM16, as the bench's settings and channel tools always have.
constexpr int kFirstPort = 1;
constexpr int kLastPort = 16;

class PortCatalog {
public:
    PortCatalog(QMap<int, QString> explicitMap, QList<SerialDevice> systemDevices);
    PortCatalog(const PortCatalog& other);
    PortCatalog& operator=(const PortCatalog& other);

    // The serial devices of a tree laid out like /sys/class/tty; device paths are "/dev/" + the entry's
    // name. Nothing is opened to find out; the system console is left out so the scan never toggles its
    // modem lines.
    static QList<SerialDevice> scanSysfs(const QString& ttyClassDir);
    // The name the kernel gives the system console ("ttyS0") when the device at path is one of its active
    // consoles, as the tty class below sysRoot tells (by device number, or by name where the class has none
    // recorded); "" when it is none. The console is never a bench port: its modem lines are the terminal's.
    static QString consoleName(const QString& path, const QString& sysRoot);

    // Where the system's device tree is (/sys); tests give a tree of their own.
    void setSysRoot(const QString& sysRoot) { sysRoot_ = sysRoot; }
    const QString& sysRoot() const { return sysRoot_; }

    // "" when COMn maps to nothing.
    QString devicePath(int port) const;
    QString description(int port) const;

    void notePermissionDenied(int port, const QString& path, const QString& reason);
    void clearProblem(int port);
    QList<DeviceProblem> permissionProblems() const;

private:
    QMap<int, SerialDevice> ports_;
    QString sysRoot_ = QStringLiteral("/sys");
    // Noted by the bus thread as it opens ports, read by the port dialog.
    mutable std::mutex deniedMutex_;
    QMap<int, DeviceProblem> denied_;
};

} // namespace serial
