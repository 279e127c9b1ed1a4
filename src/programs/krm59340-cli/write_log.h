// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/bus_observer.h"

#include <QList>
#include <QString>

#include <optional>

namespace engine {
class Engine;
}

namespace cli {

// What a command has written to the chip so far, for the message of a command that fails or is stopped
// half-way: a script must learn which channels changed. Sees every transaction of the engine it watches.
class WriteLog : public bus::BusObserver {
public:
    explicit WriteLog(engine::Engine& engine);
    ~WriteLog();
    WriteLog(const WriteLog&) = delete;
    WriteLog& operator=(const WriteLog&) = delete;

    void starting(const bus::Transaction& about) override;
    void done(const bus::Transaction& transaction) override;

    // Forgets what was written (a batch starts each file afresh).
    void clear();
    // "nothing was written to the chip", or what was, with the write a port failure cut off (cutOff: the
    // failure came from the port in the middle of a transaction).
    QString summary(bool cutOff) const;
    // The channels whose DAC writes went through, in the order written.
    const QList<int>& dacWritten() const { return dac_; }

private:
    engine::Engine& engine_;
    QList<int> dac_; // channels, in the order written
    QList<int> otp_;
    int resets_ = 0;
    std::optional<bus::TransactionKind> pending_; // a write that started and has not finished
    int pendingChannel_ = 0;
};

} // namespace cli
