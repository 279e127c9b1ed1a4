// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/bus_observer.h"
#include "bus/line_check.h"
#include "files/text_error.h"

#include <QString>

#include <optional>
#include <vector>

namespace bus {

// Thrown at the start of a transaction on a port whose lines failed their check: nothing goes on the bus.
class BusUnusable : public files::TextError {
public:
    using files::TextError::TextError;
};

// Thrown by a master that sees acknowledges (a kernel I2C adapter) when the address byte of a transaction
// was not acknowledged: no chip answers there. Nothing of the transaction reached a chip.
class NotAcknowledged : public files::TextError {
public:
    using files::TextError::TextError;
};

// The chip's transactions, whatever carries them: a master that drives the bus lines itself (I2cMaster, on
// a port's modem lines) or an adapter that the kernel drives. Addresses and data come as bit strings, most
// significant bit first, as the device layer builds them: a position counts as 1 only when it is exactly
// '1', a short text is padded with 0 and only the first eight characters are used.
//
// Observers hear of every transaction; while the master is unusable every transaction throws BusUnusable
// before anything reaches the bus. Failures of the transport are thrown as serial::PortError.
class Master {
public:
    enum class Ending { DelayedStop, PauseThenDelayedStop };

    virtual ~Master() = default;

    // Address byte and pointer byte, then STOP.
    virtual void i2cWritePointer(const QString& address, const QString& data) = 0;
    // Address byte and three data bytes, then the ending (the chip takes a DAC or OTP word this way).
    virtual void i2cWriteWord(const QString& address, const QString& byte2, const QString& byte3,
                              const QString& byte4, Ending ending) = 0;
    // Address byte with the read bit, then two bytes read, the first acknowledged; sets readValue.
    virtual void i2cReadWord(const QString& address) = 0;
    // The general call 0x00, 0x06: every chip on the bus that answers it resets, whatever its address.
    virtual void generalCallReset() = 0;
    // Whether a device acknowledges the address byte. Touches neither readValue nor anything else.
    virtual bool probe(const QString& address) = 0;
    // The check of the bus before any transaction; told to the observers like a transaction. Runs whether
    // or not the master is usable: it is what decides that.
    virtual LineCheck checkLines() = 0;

    // Observers are told of every transaction; each is added once and must outlive its registration.
    void addObserver(BusObserver* observer);
    void removeObserver(BusObserver* observer);

    // While set, every transaction (and probe) throws BusUnusable with this text before its first request.
    void setUnusable(std::optional<QString> why) { unusable_ = std::move(why); }
    bool usable() const { return !unusable_; }

    // The last word read, 0..65535.
    double readValue = 0;

protected:
    Master() = default;
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;

    // Before a transaction's first request: the observers may stop it, then an unusable bus does.
    void begin(TransactionKind kind, QByteArray bytes = {}) const;
    void finish(TransactionKind kind, QByteArray bytes, std::optional<quint16> word = {},
                std::optional<bool> acknowledged = {}) const;
    // The line check's start and end, told like a transaction's.
    void checkStarting() const;
    void checkDone(const LineCheck& check) const;
    bool observed() const { return !observers_.empty(); }

private:
    void tellStarting(TransactionKind kind, QByteArray bytes) const;

    std::optional<QString> unusable_;
    std::vector<BusObserver*> observers_;
};

// The value of an address or data byte as the bus sends its bit string.
quint8 byteOf(const QString& bits);

} // namespace bus
