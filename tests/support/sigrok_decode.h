// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <vector>

namespace sigrok {

inline QString hex2(int byte)
{
    return QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
}

// What sigrok's I2C decoder reads from a value change dump with the wires scl and sda: its annotations in
// order ("Start", "Address write: 74", "ACK", "Data read: 02", "NACK", "Stop", ...). An empty list with
// *error set when sigrok-cli is missing or fails.
inline QStringList decodeI2c(const QString& vcdPath, QString* error)
{
    const QString sigrok = QStandardPaths::findExecutable(QStringLiteral("sigrok-cli"));
    if (sigrok.isEmpty()) {
        *error = QStringLiteral("sigrok-cli is not installed (scripts/install-deps.sh installs it)");
        return {};
    }
    QProcess decoder;
    decoder.start(sigrok,
                  {"-I", "vcd", "-i", vcdPath, "-P", "i2c:scl=scl:sda=sda", "-A",
                   "i2c=start:repeat-start:stop:ack:nack:address-read:address-write:data-read:data-write"});
    if (!decoder.waitForFinished(60000) || decoder.exitCode() != 0) {
        *error = QString::fromLocal8Bit(decoder.readAllStandardError());
        return {};
    }
    QStringList decoded;
    // "Write" and "Read" only repeat the direction of the address that follows them.
    for (const QByteArray& line : decoder.readAllStandardOutput().split('\n')) {
        const QString annotation = QString::fromLatin1(line).section(QStringLiteral(": "), 1);
        if (!annotation.isEmpty() && annotation != "Write" && annotation != "Read")
            decoded << annotation;
    }
    return decoded;
}

// The start-up with the chip at 0x74 holding these codes under a 10 V reference: the presence probe, the 24
// register reads and the bank status read, then the write-back of every channel; every byte acknowledged
// as the chip did, and no START or STOP that the program did not make.
inline QStringList startupTransactions(const std::vector<int>& codes)
{
    QStringList out{"Start", "Address write: 74", "ACK", "Stop"};
    for (int reg = 0; reg <= 24; ++reg) {
        const int pointer = reg < 24 ? reg : 0x3F;
        const int word = reg < 24 ? codes[reg] : 0;
        out << "Start"
            << "Address write: 74"
            << "ACK"
            << "Data write: " + hex2(pointer) << "ACK"
            << "Stop"
            << "Start"
            << "Address read: 74"
            << "ACK"
            << "Data read: " + hex2(word >> 8) << "ACK"
            << "Data read: " + hex2(word & 0xFF) << "NACK"
            << "Stop";
    }
    for (int reg = 0; reg < 24; ++reg)
        out << "Start"
            << "Address write: 74"
            << "ACK"
            << "Data write: " + hex2(reg) << "ACK"
            << "Data write: " + hex2(0x80 | codes[reg] >> 8) << "ACK"
            << "Data write: " + hex2(codes[reg] & 0xFF) << "ACK"
            << "Stop";
    return out;
}

} // namespace sigrok
