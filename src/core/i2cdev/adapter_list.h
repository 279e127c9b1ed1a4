// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QList>
#include <QString>

namespace i2cdev {

// A kernel I2C adapter that i2c-dev offers to user space, found without opening it.
struct Adapter {
    QString path;        // "/dev/i2c-1"
    QString node;        // "i2c-1", its entry under /sys/class/i2c-dev
    QString name;        // what its driver calls it ("bcm2835 (i2c@7e804000)"), "" when sysfs does not say
    bool usable = false; // the user may open the node for reading and writing
    QString problem;     // when not usable: why ("Permission denied", "No such file or directory")
    QString group;       // when not usable: the group that owns the node, the one to join; "" when unknown
};

// Every adapter in <sysRoot>/class/i2c-dev, by number; its node is <devRoot>/<entry>. Nothing is opened:
// access() tells whether an open would be allowed.
QList<Adapter> listAdapters(const QString& sysRoot = QStringLiteral("/sys"),
                            const QString& devRoot = QStringLiteral("/dev"));

// The name sysfs gives adapter node ("i2c-1"), "" when it gives none.
QString adapterName(const QString& sysRoot, const QString& node);

} // namespace i2cdev
