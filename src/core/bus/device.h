// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/master.h"

#include <QString>

namespace bus {

// The chip's register transfers. The A0 text is passed to every call because it is read afresh for each
// transaction: address byte = "111010" + a0 + direction digit, cut to eight characters by the bus.
QString writeAddress(const QString& a0);
QString readAddress(const QString& a0);

// Pointer write with "000" + reg5, then a word read; returns the 16-bit word (also left in readValue).
double readRegister(Master& i2c, const QString& a0, const QString& reg5);
// The same for register 63, the OTP bank status.
double readBankStatusWord(Master& i2c, const QString& a0);
// Register word with command 100 (DAC write): byte 3 = "100" + the last five characters of high. Pauses
// once before the delayed stop.
void writeDacRegister(Master& i2c, const QString& low, const QString& high, const QString& address,
                      const QString& pointer);
// The same with command 010 (burn into OTP), ending with the delayed stop alone.
void programOtpRegister(Master& i2c, const QString& low, const QString& high, const QString& address,
                        const QString& pointer);
// General call 0x00, 0x06 with the paused primitives; independent of A0.
void resetChip(Master& i2c);

} // namespace bus
