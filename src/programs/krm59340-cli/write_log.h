// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/bus_observer.h"

#include <QList>
#include <QString>

#include <optional>

namespace bus {
class I2cMaster;
}

namespace cli {

// What a command has written to the chip so far, for the message of a command that fails or is stopped
// half-way: a script must learn which channels changed. Sees every transaction of the I2C master it watches.
class WriteLog : public bus::BusObserver {
public:
    explicit WriteLog(bus::I2cMaster& i2c);
    ~WriteLog();
    WriteLog(const WriteLog&) = delete;
    WriteLog& operator=(const WriteLog&) = delete;

    void starting(bus::TransactionKind kind) override;
    void done(const bus::Transaction& transaction) override;

    // Forgets what was written (a batch starts each file afresh).
    void clear();
    // "nothing was written to the chip", or what was, with the write a port failure cut off (cutOff: the
    // failure came from the port in the middle of a transaction).
    QString summary(bool cutOff) const;

private:
    bus::I2cMaster& i2c_;
    QList<int> dac_; // channels, in the order written
    QList<int> otp_;
    int resets_ = 0;
    std::optional<bus::TransactionKind> pending_; // a write that started and has not finished
};

} // namespace cli
