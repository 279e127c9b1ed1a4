// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "bus/device.h"

namespace bus {

namespace {

// The pointer byte of the bank status register 63.
const QString kBankStatusPointer = QStringLiteral("00111111");

// Command digits before the last five characters of the high text: "000", code bits 9 and 8.
QString commandByte(const QString& command, const QString& high)
{
    return command + high.right(5);
}

} // namespace

QString writeAddress(const QString& a0)
{
    return QStringLiteral("111010") + a0 + QLatin1Char('0');
}

QString readAddress(const QString& a0)
{
    return QStringLiteral("111010") + a0 + QLatin1Char('1');
}

// The pointer write ends with its own STOP and the read starts afresh: no repeated start.
double readRegister(Master& i2c, const QString& a0, const QString& reg5)
{
    i2c.i2cWritePointer(writeAddress(a0), QStringLiteral("000") + reg5);
    i2c.i2cReadWord(readAddress(a0));
    return i2c.readValue;
}

double readBankStatusWord(Master& i2c, const QString& a0)
{
    i2c.i2cWritePointer(writeAddress(a0), kBankStatusPointer);
    i2c.i2cReadWord(readAddress(a0));
    return i2c.readValue;
}

void writeDacRegister(Master& i2c, const QString& low, const QString& high, const QString& address,
                      const QString& pointer)
{
    i2c.i2cWriteWord(address, pointer, commandByte(QStringLiteral("100"), high), low,
                     Master::Ending::PauseThenDelayedStop);
}

void programOtpRegister(Master& i2c, const QString& low, const QString& high, const QString& address,
                        const QString& pointer)
{
    i2c.i2cWriteWord(address, pointer, commandByte(QStringLiteral("010"), high), low,
                     Master::Ending::DelayedStop);
}

void resetChip(Master& i2c)
{
    i2c.generalCallReset();
}

} // namespace bus
