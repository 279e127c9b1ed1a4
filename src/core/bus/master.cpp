// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "bus/master.h"

#include <algorithm>

namespace bus {

quint8 byteOf(const QString& bits)
{
    quint8 byte = 0;
    for (int k = 0; k < 8; ++k)
        byte = static_cast<quint8>(byte << 1 | (k < bits.size() && bits.at(k) == QLatin1Char('1') ? 1 : 0));
    return byte;
}

void Master::addObserver(BusObserver* observer)
{
    if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void Master::removeObserver(BusObserver* observer)
{
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void Master::tellStarting(TransactionKind kind, QByteArray bytes) const
{
    if (observers_.empty())
        return;
    const Transaction about{kind, std::move(bytes), std::nullopt, std::nullopt, std::nullopt};
    for (BusObserver* observer : observers_)
        observer->starting(about);
}

void Master::begin(TransactionKind kind, QByteArray bytes) const
{
    tellStarting(kind, std::move(bytes));
    if (unusable_)
        throw BusUnusable(*unusable_);
}

void Master::finish(TransactionKind kind, QByteArray bytes, std::optional<quint16> word,
                    std::optional<bool> acknowledged) const
{
    if (observers_.empty())
        return;
    const Transaction transaction{kind, std::move(bytes), word, acknowledged, std::nullopt};
    for (BusObserver* observer : observers_)
        observer->done(transaction);
}

void Master::checkStarting() const
{
    tellStarting(TransactionKind::LineCheck, {});
}

void Master::checkDone(const LineCheck& check) const
{
    if (observers_.empty())
        return;
    const Transaction transaction{TransactionKind::LineCheck, {}, std::nullopt, std::nullopt, check};
    for (BusObserver* observer : observers_)
        observer->done(transaction);
}

} // namespace bus
