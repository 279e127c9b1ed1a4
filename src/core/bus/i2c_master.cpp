// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "bus/i2c_master.h"

#include <algorithm>

namespace bus {

namespace {

// Bit k (0 = most significant) of a byte's text: only an exact '1' counts, missing positions are 0.
int bitOf(const QString& byte, int k)
{
    return k < byte.size() && byte.at(k) == QLatin1Char('1') ? 1 : 0;
}

QByteArray bytesOf(std::initializer_list<const QString*> bits)
{
    QByteArray bytes;
    for (const QString* byte : bits)
        bytes.append(static_cast<char>(byteOf(*byte)));
    return bytes;
}

} // namespace

// 200 passes of a volatile counter: about 0.1 us on a 2.6 GHz x86-64 core (bench_bus, BM_BusDelay), so the
// 59 pauses of a general-call reset add some 6 us. The volatile keeps the optimiser from removing the loop;
// nothing here sleeps or lets events run.
void busDelay()
{
    volatile int counter = 1;
    while (counter <= 200)
        counter = counter + 1;
}

I2cMaster::I2cMaster(serial::SerialPort& port) : port_(port) {}

void I2cMaster::loadTxBits(std::initializer_list<const QString*> bytes)
{
    int entry = 1;
    for (const QString* byte : bytes)
        for (int k = 0; k < 8; ++k)
            txBits[entry++] = bitOf(*byte, k);
}

// Any line state in; leaves SDA low with SCL released (START).
void I2cMaster::start()
{
    port_.setRts(false);
    port_.setDtr(false);
    port_.setRts(true);
    port_.setDtr(false);
}

// SCL released or low in; SDA is set while SCL is low and held over the pulse; leaves SCL low.
void I2cMaster::sendBit(int bit)
{
    const bool low = bit != 1;
    port_.setDtr(true);
    port_.setRts(low);
    port_.setDtr(false);
    port_.setRts(low);
    port_.setDtr(true);
    port_.setRts(low);
}

// SCL low in; releases SDA for the slave's acknowledge, which is clocked but never sampled; leaves SCL low.
void I2cMaster::ackClock()
{
    port_.setRts(false);
    port_.setDtr(true);
    port_.setRts(false);
    port_.setDtr(false);
    port_.setRts(false);
    port_.setDtr(true);
}

// SDA released; SCL pulled low then released, and the bit read while SCL is high. Leaves SCL released.
void I2cMaster::receiveBit(bool& low)
{
    port_.setRts(false);
    port_.setDtr(true);
    port_.setRts(false);
    port_.setDtr(true);
    port_.setRts(false);
    port_.setDtr(false);
    port_.dsrInto(low);
}

// SCL released in; holds SDA low over one clock pulse so the slave goes on; leaves SCL low, SDA low.
void I2cMaster::masterAck()
{
    port_.setRts(false);
    port_.setDtr(true);
    port_.setRts(true);
    port_.setDtr(true);
    port_.setRts(true);
    port_.setDtr(false);
    port_.setRts(true);
    port_.setDtr(true);
}

// SCL released in; one pulse with SDA released tells the slave to stop sending, then STOP. Leaves the bus
// idle.
void I2cMaster::nackAndStop()
{
    // Not acknowledging is the acknowledge clock's pulse with SDA released.
    ackClock();
    port_.setRts(true);
    port_.setDtr(false);
    port_.setRts(false);
    port_.setDtr(false);
}

// SCL low in; SDA pulled low, SCL released, then SDA released (STOP). Leaves the bus idle.
void I2cMaster::stop()
{
    port_.setRts(true);
    port_.setDtr(true);
    port_.setRts(true);
    port_.setDtr(false);
    port_.setRts(false);
    port_.setDtr(false);
}

// The bytes of the transaction in txBits, as the bus carried them.
QByteArray I2cMaster::txBytes(int count) const
{
    QByteArray bytes(count, '\0');
    for (int n = 0; n < count; ++n)
        for (int k = 0; k < 8; ++k)
            bytes[n] = static_cast<char>(bytes[n] << 1 | txBits[8 * n + k + 1]);
    return bytes;
}

// Any line state in; leaves SDA low with SCL released (START), pausing after each pair of requests.
void I2cMaster::i2cStartDelayed()
{
    begin(TransactionKind::GeneralCall);
    inDelayedFrame_ = true;
    delayedBits_.clear();
    port_.setRts(false);
    port_.setDtr(false);
    busDelay();
    port_.setRts(true);
    port_.setDtr(false);
    busDelay();
}

// As sendBit, with a pause after each pair; the bit comes directly, not through txBits.
void I2cMaster::i2cSendBitDelayed(int bit)
{
    if (inDelayedFrame_)
        delayedBits_.append(bit == 1 ? '1' : '0');
    const bool low = bit != 1;
    port_.setDtr(true);
    port_.setRts(low);
    busDelay();
    port_.setDtr(false);
    port_.setRts(low);
    busDelay();
    port_.setDtr(true);
    port_.setRts(low);
    busDelay();
}

// SCL low in; STOP with a pause after each pair, giving the chip time after a write. Leaves the bus idle.
void I2cMaster::i2cStopDelayed()
{
    port_.setRts(true);
    port_.setDtr(true);
    busDelay();
    port_.setRts(true);
    port_.setDtr(false);
    busDelay();
    port_.setRts(false);
    port_.setDtr(false);
    busDelay();
    port_.flush();
    if (inDelayedFrame_) {
        inDelayedFrame_ = false;
        // Nine bits a byte: eight of data, then the acknowledge slot.
        QByteArray bytes;
        for (qsizetype first = 0; first + 8 <= delayedBits_.size(); first += 9)
            bytes.append(static_cast<char>(delayedBits_.mid(first, 8).toInt(nullptr, 2)));
        finish(TransactionKind::GeneralCall, bytes);
    }
}

LineCheck I2cMaster::checkLines()
{
    checkStarting();
    const LineCheck check = bus::checkLines(port_);
    checkDone(check);
    return check;
}

// Every chip that answers the general call is reset, whatever its A0; the acknowledge slots are left
// released and never read.
void I2cMaster::generalCallReset()
{
    static constexpr int kFrame[18] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 1, 0, 1};
    i2cStartDelayed();
    for (int bit : kFrame)
        i2cSendBitDelayed(bit);
    i2cStopDelayed();
}

bool I2cMaster::probe(const QString& address)
{
    begin(TransactionKind::Probe, QByteArray(1, static_cast<char>(byteOf(address))));
    start();
    for (int k = 0; k < 8; ++k)
        sendBit(bitOf(address, k));
    // The acknowledge clock with one look at SDA while SCL is high; the slave holds it there until SCL
    // falls again.
    port_.setRts(false);
    port_.setDtr(true);
    port_.setRts(false);
    port_.setDtr(false);
    bool acknowledged = false;
    port_.dsrInto(acknowledged);
    port_.setRts(false);
    port_.setDtr(true);
    stop();
    port_.flush();
    finish(TransactionKind::Probe, QByteArray(1, static_cast<char>(byteOf(address))), std::nullopt,
           acknowledged);
    return acknowledged;
}

void I2cMaster::i2cWritePointer(const QString& address, const QString& data)
{
    begin(TransactionKind::PointerWrite, bytesOf({&address, &data}));
    loadTxBits({&address, &data});
    start();
    for (int entry = 1; entry <= 16; ++entry) {
        sendBit(txBits[entry]);
        if (entry % 8 == 0)
            ackClock();
    }
    stop();
    port_.flush();
    finish(TransactionKind::PointerWrite, txBytes(2));
}

void I2cMaster::i2cWriteWord(const QString& address, const QString& byte2, const QString& byte3,
                             const QString& byte4, Ending ending)
{
    // Command 010 in the top bits of the word burns it into OTP; anything else writes the register.
    const bool burn = bitOf(byte3, 0) == 0 && bitOf(byte3, 1) == 1 && bitOf(byte3, 2) == 0;
    const TransactionKind kind = burn ? TransactionKind::OtpWrite : TransactionKind::DacWrite;
    begin(kind, bytesOf({&address, &byte2, &byte3, &byte4}));
    loadTxBits({&address, &byte2, &byte3, &byte4});
    start();
    for (int entry = 1; entry <= 32; ++entry) {
        sendBit(txBits[entry]);
        if (entry % 8 == 0)
            ackClock();
    }
    if (ending == Ending::PauseThenDelayedStop)
        busDelay();
    i2cStopDelayed();
    finish(kind, txBytes(4));
}

void I2cMaster::i2cReadWord(const QString& address)
{
    begin(TransactionKind::Read, bytesOf({&address}));
    loadTxBits({&address});
    start();
    for (int entry = 1; entry <= 8; ++entry)
        sendBit(txBits[entry]);
    ackClock();
    std::array<bool, 17> low{};
    for (int entry = 1; entry <= 8; ++entry)
        receiveBit(low[entry]);
    masterAck();
    for (int entry = 9; entry <= 16; ++entry)
        receiveBit(low[entry]);
    nackAndStop();
    port_.flush();
    // A bit is 1 when DSR was not asserted.
    for (int entry = 1; entry <= 16; ++entry)
        rxBits[entry] = low[entry] ? 0 : 1;

    int value = 0;
    for (int entry = 1; entry <= 16; ++entry)
        if (rxBits[entry] == 1)
            value += 1 << (16 - entry);
    readValue = value;
    finish(TransactionKind::Read, txBytes(1), static_cast<quint16>(value));
}

} // namespace bus
