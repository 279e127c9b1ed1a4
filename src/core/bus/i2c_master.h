// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "serial/serial_port.h"

#include <QString>

#include <array>
#include <initializer_list>

namespace bus {

// A short fixed busy pause that lets no events run; see the definition for its length.
void busDelay();

// The I2C master on the port's modem lines: RTS drives SDA, DTR drives SCL, DSR reads SDA; asserted means
// the line is pulled low. Every primitive issues its line requests in a fixed order whether or not a line
// changes, so each bit has the same shape and the request count per transaction is fixed. Nothing is
// verified: acknowledges are clocked but never sampled. A failing line request throws serial::PortError
// out of the transaction, leaving the lines as they were; the next Start releases both.
//
// Bytes come as bit strings, most significant bit first; a position counts as 1 only when it is exactly
// '1', a short text is padded with 0 and only the first eight characters are used.
class I2cMaster {
public:
    explicit I2cMaster(serial::SerialPort& port);

    enum class Ending { DelayedStop, PauseThenDelayedStop };

    void i2cWritePointer(const QString& address, const QString& data);
    void i2cWriteWord(const QString& address, const QString& byte2, const QString& byte3,
                      const QString& byte4, Ending ending);
    // Sets readValue.
    void i2cReadWord(const QString& address);

    void i2cStartDelayed();
    void i2cSendBitDelayed(int bit);
    void i2cStopDelayed();

    // Bits of the transaction after the start condition; entry k is the k-th bit (byte n at 8n-7..8n).
    std::array<int, 51> txBits{};
    // Bits received; entry k is the k-th data bit.
    std::array<int, 18> rxBits{};
    // The last word read, 0..65535.
    double readValue = 0;

private:
    void loadTxBits(std::initializer_list<const QString*> bytes);
    void start();
    void sendBit(int bit);
    void ackClock();
    int receiveBit();
    void masterAck();
    void nackAndStop();
    void stop();

    serial::SerialPort& port_;
};

} // namespace bus
