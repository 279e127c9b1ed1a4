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
double readRegister(I2cMaster& i2c, const QString& a0, const QString& reg5)
{
    i2c.i2cWritePointer(writeAddress(a0), QStringLiteral("000") + reg5);
    i2c.i2cReadWord(readAddress(a0));
    return i2c.readValue;
}

double readBankStatusWord(I2cMaster& i2c, const QString& a0)
{
    i2c.i2cWritePointer(writeAddress(a0), kBankStatusPointer);
    i2c.i2cReadWord(readAddress(a0));
    return i2c.readValue;
}

void writeDacRegister(I2cMaster& i2c, const QString& low, const QString& high, const QString& address,
                      const QString& pointer)
{
    i2c.i2cWriteWord(address, pointer, commandByte(QStringLiteral("100"), high), low,
                     I2cMaster::Ending::PauseThenDelayedStop);
}

void programOtpRegister(I2cMaster& i2c, const QString& low, const QString& high, const QString& address,
                        const QString& pointer)
{
    i2c.i2cWriteWord(address, pointer, commandByte(QStringLiteral("010"), high), low,
                     I2cMaster::Ending::DelayedStop);
}

// Every chip that answers the general call is reset, whatever its A0; the acknowledge slots are left
// released and never read.
void resetChip(I2cMaster& i2c)
{
    static constexpr int kFrame[18] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 1, 0, 1};
    i2c.i2cStartDelayed();
    for (int bit : kFrame)
        i2c.i2cSendBitDelayed(bit);
    i2c.i2cStopDelayed();
}

} // namespace bus
