// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/bus_observer.h"
#include "files/text_error.h"
#include "serial/serial_port.h"

#include <QString>

#include <array>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <vector>

namespace bus {

// A short fixed busy pause that lets no events run; see the definition for its length.
void busDelay();

// Thrown at the start of a transaction on a port whose lines failed their check: nothing goes on the bus.
class BusUnusable : public files::TextError {
public:
    using files::TextError::TextError;
};

// The I2C master on the port's modem lines: RTS drives SDA, DTR drives SCL, DSR reads SDA; asserted means
// the line is pulled low. Every primitive issues its line requests in a fixed order whether or not a line
// changes, so each bit has the same shape and the request count per transaction is fixed. The transactions
// verify nothing: their acknowledges are clocked but never sampled; only probe() reads one. A failing line
// request throws serial::PortError out of the transaction, leaving the lines as they were; the next Start
// releases both.
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

    // START, the address byte, an acknowledge clock whose slot is read while SCL is high, STOP: true when a
    // device pulled SDA low in the slot. Touches neither txBits nor readValue.
    bool probe(const QString& address);
    // The check of the lines (bus::checkLines) on this master's port, told to the observers like a
    // transaction. Runs whether or not the bus is usable: it is what decides that.
    LineCheck checkLines();

    // Observers are told of every transaction; each is added once and must outlive its registration.
    void addObserver(BusObserver* observer);
    void removeObserver(BusObserver* observer);

    // While set, every transaction (and probe) throws BusUnusable with this text before its first request.
    void setUnusable(std::optional<QString> why) { unusable_ = std::move(why); }
    bool usable() const { return !unusable_; }

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
    // Before a transaction's first request: the observers may stop it, then a failed line check does.
    void begin(TransactionKind kind) const;
    void finish(TransactionKind kind, QByteArray bytes, std::optional<quint16> word = {},
                std::optional<bool> acknowledged = {}) const;
    QByteArray txBytes(int count) const;

    serial::SerialPort& port_;
    std::optional<QString> unusable_;
    std::vector<BusObserver*> observers_;
    // The general call is sent bit by bit through the delayed primitives; its bits are gathered here
    // between the delayed start and the delayed stop, for the observers.
    bool inDelayedFrame_ = false;
    QByteArray delayedBits_;
};

} // namespace bus
