// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/line_check.h"

#include <QByteArray>

#include <optional>

namespace bus {

enum class TransactionKind { PointerWrite, Read, DacWrite, OtpWrite, GeneralCall, LineCheck, Probe };

// One piece of bus work as it went: what it was, the bytes the program sent (address byte first), and what
// came back where anything was looked at.
struct Transaction {
    TransactionKind kind = TransactionKind::PointerWrite;
    QByteArray bytes;
    std::optional<quint16> word;        // the word a read returned
    std::optional<bool> acknowledged;   // the probe's acknowledge
    std::optional<LineCheck> lineCheck; // the line check's finding
};

// Told of every transaction of a bus master, once per transaction (never per line request): a bus monitor
// lists them, a progress display counts them. starting() runs before the transaction's first line request,
// with the kind and the bytes it is about to send (as far as they are known then), and may throw to keep it
// off the bus; done() runs after its last.
class BusObserver {
public:
    virtual void starting(const Transaction& about) = 0;
    virtual void done(const Transaction& transaction) = 0;

protected:
    ~BusObserver() = default;
};

} // namespace bus
