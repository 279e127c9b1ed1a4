// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/master.h"
#include "serial/serial_port.h"

#include <QString>

#include <array>
#include <initializer_list>

namespace bus {

// A short fixed busy pause that lets no events run; see the definition for its length.
void busDelay();

// The I2C master on the port's modem lines: RTS drives SDA, DTR drives SCL, DSR reads SDA; asserted means
// the line is pulled low. Every primitive issues its line requests in a fixed order whether or not a line
// changes, so each bit has the same shape and the request count per transaction is fixed. The transactions
// verify nothing: their acknowledges are clocked but never sampled; only probe() reads one. A failing line
// request throws serial::PortError out of the transaction, leaving the lines as they were; the next Start
// releases both.
//
// Nothing inside a transaction depends on a DSR read before the transaction's end: every read goes through
// SerialPort::dsrInto and the port is flushed once the last request is queued, so a port that sends its
// requests in batches (FTDI synchronous bit-bang) carries a transaction in as few transfers as it can. Only
// the line check looks at a read as soon as it is made.
class I2cMaster : public Master {
public:
    explicit I2cMaster(serial::SerialPort& port);

    using Ending = Master::Ending;

    void i2cWritePointer(const QString& address, const QString& data) override;
    void i2cWriteWord(const QString& address, const QString& byte2, const QString& byte3,
                      const QString& byte4, Ending ending) override;
    void i2cReadWord(const QString& address) override;
    // i2cStartDelayed, eighteen i2cSendBitDelayed and i2cStopDelayed.
    void generalCallReset() override;
    // START, the address byte, an acknowledge clock whose slot is read while SCL is high, STOP: true when a
    // device pulled SDA low in the slot. Touches neither txBits nor readValue.
    bool probe(const QString& address) override;
    // bus::checkLines on this master's port.
    LineCheck checkLines() override;

    void i2cStartDelayed();
    void i2cSendBitDelayed(int bit);
    void i2cStopDelayed();

    // Bits of the transaction after the start condition; entry k is the k-th bit (byte n at 8n-7..8n).
    std::array<int, 51> txBits{};
    // Bits received; entry k is the k-th data bit.
    std::array<int, 18> rxBits{};

private:
    void loadTxBits(std::initializer_list<const QString*> bytes);
    void start();
    void sendBit(int bit);
    void ackClock();
    // Queues the bit's DSR read into low (true: SDA was low); known once the port is flushed.
    void receiveBit(bool& low);
    void masterAck();
    void nackAndStop();
    void stop();
    QByteArray txBytes(int count) const;

    serial::SerialPort& port_;
    // The general call is sent bit by bit through the delayed primitives; its bits are gathered here
    // between the delayed start and the delayed stop, for the observers.
    bool inDelayedFrame_ = false;
    QByteArray delayedBits_;
};

} // namespace bus
