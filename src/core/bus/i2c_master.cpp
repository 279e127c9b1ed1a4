// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "bus/i2c_master.h"

namespace bus {

namespace {

// Bit k (0 = most significant) of a byte's text: only an exact '1' counts, missing positions are 0.
int bitOf(const QString& byte, int k)
{
    return k < byte.size() && byte.at(k) == QLatin1Char('1') ? 1 : 0;
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
int I2cMaster::receiveBit()
{
    port_.setRts(false);
    port_.setDtr(true);
    port_.setRts(false);
    port_.setDtr(true);
    port_.setRts(false);
    port_.setDtr(false);
    return port_.dsr() ? 0 : 1;
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

void I2cMaster::refuseIfUnusable() const
{
    if (unusable_)
        throw BusUnusable(*unusable_);
}

// Any line state in; leaves SDA low with SCL released (START), pausing after each pair of requests.
void I2cMaster::i2cStartDelayed()
{
    refuseIfUnusable();
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
}

bool I2cMaster::probe(const QString& address)
{
    refuseIfUnusable();
    start();
    for (int k = 0; k < 8; ++k)
        sendBit(bitOf(address, k));
    // The acknowledge clock with one look at SDA while SCL is high; the slave holds it there until SCL
    // falls again.
    port_.setRts(false);
    port_.setDtr(true);
    port_.setRts(false);
    port_.setDtr(false);
    const bool acknowledged = port_.dsr();
    port_.setRts(false);
    port_.setDtr(true);
    stop();
    return acknowledged;
}

void I2cMaster::i2cWritePointer(const QString& address, const QString& data)
{
    refuseIfUnusable();
    loadTxBits({&address, &data});
    start();
    for (int entry = 1; entry <= 16; ++entry) {
        sendBit(txBits[entry]);
        if (entry % 8 == 0)
            ackClock();
    }
    stop();
}

void I2cMaster::i2cWriteWord(const QString& address, const QString& byte2, const QString& byte3,
                             const QString& byte4, Ending ending)
{
    refuseIfUnusable();
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
}

void I2cMaster::i2cReadWord(const QString& address)
{
    refuseIfUnusable();
    loadTxBits({&address});
    start();
    for (int entry = 1; entry <= 8; ++entry)
        sendBit(txBits[entry]);
    ackClock();
    for (int entry = 1; entry <= 8; ++entry)
        rxBits[entry] = receiveBit();
    masterAck();
    for (int entry = 9; entry <= 16; ++entry)
        rxBits[entry] = receiveBit();
    nackAndStop();

    int value = 0;
    for (int entry = 1; entry <= 16; ++entry)
        if (rxBits[entry] == 1)
            value += 1 << (16 - entry);
    readValue = value;
}

} // namespace bus
