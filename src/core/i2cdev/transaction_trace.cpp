// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "i2cdev/transaction_trace.h"

namespace i2cdev {

namespace {

// Standard mode in whole microseconds: SCL low 5 and high 5 (at least 4.7 and 4.0), SDA moved 2 after SCL
// falls, so it is settled well before SCL rises; at least 4.7 of idle bus between a STOP and a START.
constexpr quint64 kHalfClock = 5;
constexpr quint64 kDataSetup = 2;
constexpr quint64 kBusFree = 10;

} // namespace

void TransactionTrace::record(const Message& message, bool addressAcknowledged)
{
    start();
    const int addressByte = message.address << 1 | (message.read ? 1 : 0);
    for (int k = 7; k >= 0; --k)
        bit((addressByte >> k & 1) != 0);
    // The acknowledge slot: the slave pulls SDA low, or nothing does.
    bit(!addressAcknowledged);
    if (addressAcknowledged) {
        for (qsizetype n = 0; n < message.bytes.size(); ++n) {
            const auto byte = static_cast<quint8>(message.bytes.at(n));
            for (int k = 7; k >= 0; --k)
                bit((byte >> k & 1) != 0);
            // Written bytes were acknowledged by the slave; of bytes read the master acknowledges all but the
            // last, which tells the slave to let go of SDA.
            bit(message.read && n == message.bytes.size() - 1);
        }
    }
    stop();
    trace_.writeOut();
}

void TransactionTrace::at(quint64 time, bool scl, bool sda)
{
    if (scl == scl_ && sda == sda_)
        return;
    trace_.change(scl, sda, time - time_);
    scl_ = scl;
    sda_ = sda;
    time_ = time;
}

// From the idle bus: SDA falls while SCL is high, then SCL falls.
void TransactionTrace::start()
{
    const quint64 begin = time_ + kBusFree;
    at(begin, true, false);
    clockFell_ = begin + kHalfClock;
    at(clockFell_, false, false);
}

void TransactionTrace::bit(bool level)
{
    at(clockFell_ + kDataSetup, false, level);
    at(clockFell_ + kHalfClock, true, level);
    clockFell_ += 2 * kHalfClock;
    at(clockFell_, false, level);
}

// SDA rises while SCL is high; the bus is idle after it. A decoder sees the STOP only once time has gone on
// past it, so the idle bus is marked too: a dump whose last transaction is its last change ends with it.
void TransactionTrace::stop()
{
    at(clockFell_ + kDataSetup, false, false);
    at(clockFell_ + kHalfClock, true, false);
    at(clockFell_ + 2 * kHalfClock, true, true);
    time_ += kHalfClock;
    trace_.advance(kHalfClock);
}

} // namespace i2cdev
