// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace serial {

// The chips whose modem-line pins run synchronous bit-bang mode, by their USB ids.
constexpr quint16 kFtdiVendor = 0x0403;
constexpr quint16 kFt232rProduct = 0x6001; // FT232R, FT232RL
constexpr quint16 kFtxProduct = 0x6015;    // the FT-X series: FT230X, FT231X, FT234XD

// An adapter on one of those chips, as sysfs describes it.
struct FtdiAdapter {
    quint16 vendorId = 0;
    quint16 productId = 0;
    QString product; // the adapter's name for itself, "FT232R USB UART"
    QString serial;  // "" when it has none
    int bus = 0;
    int address = 0;
    QString tty;  // "/dev/ttyUSB0" while the kernel's ftdi_sio driver has it, "" while it is detached
    QString busy; // "" when free, else who holds it: "minicom (process 1234) on /dev/ttyUSB0"

    // "FT232R" or "FT-X"
    QString chip() const;
    // What a port mapping names it by: "ftdi://A1B2C3", or "ftdi://" for an adapter without a serial.
    QString url() const;
    // "/dev/bus/usb/001/005", the node libusb opens.
    QString usbNode() const;
};

// The adapters sysfs lists below sysRoot/bus/usb/devices, by bus and address; nothing is opened. An
// adapter is busy when another process holds its USB node or its tty, as far as /proc and the UUCP locks
// show (the processes of other users are hidden from /proc without root).
QList<FtdiAdapter> findFtdiAdapters(const QString& sysRoot = QStringLiteral("/sys"));

// The adapter behind a tty ("/dev/ttyUSB0", or a link to one) when it is one of these chips, so that a
// port on it can be offered as adapter.url(), where the bus runs fast.
std::optional<FtdiAdapter> ftdiAdapterOfTty(const QString& ttyPath,
                                            const QString& sysRoot = QStringLiteral("/sys"));

} // namespace serial
