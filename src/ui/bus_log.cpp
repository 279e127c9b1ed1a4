// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/bus_log.h"

#include "engine/engine.h"

#include <QDateTime>
#include <QMetaObject>

#include <algorithm>

namespace ui {

namespace {

QString hexByte(int byte)
{
    return QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace

BusLog::BusLog(engine::Engine& engine, QObject* parent)
    : QAbstractTableModel(parent), engine_(&engine), ring_(kKept)
{
    engine_->addObserver(this);
}

BusLog::~BusLog()
{
    detach();
}

void BusLog::detach()
{
    if (engine_)
        engine_->removeObserver(this);
    engine_ = nullptr;
}

void BusLog::done(const bus::Transaction& transaction)
{
    const std::lock_guard lock(mutex_);
    Record& r = ring_[static_cast<std::size_t>(next_ % kKept)];
    r.msecsSinceEpoch = QDateTime::currentMSecsSinceEpoch();
    r.kind = transaction.kind;
    r.size = static_cast<quint8>(std::min<qsizetype>(transaction.bytes.size(), 255));
    for (std::size_t k = 0; k < r.bytes.size(); ++k)
        r.bytes[k] = k < static_cast<std::size_t>(transaction.bytes.size())
                         ? static_cast<quint8>(transaction.bytes[static_cast<qsizetype>(k)])
                         : 0;
    r.hasWord = transaction.word.has_value();
    r.word = transaction.word.value_or(0);
    r.acknowledged = transaction.acknowledged ? (*transaction.acknowledged ? 1 : 0) : -1;
    r.lines = transaction.lineCheck.value_or(bus::LineCheck{});
    ++next_;
    if (!catchUpPosted_) {
        catchUpPosted_ = true;
        QMetaObject::invokeMethod(this, &BusLog::catchUp, Qt::QueuedConnection);
    }
}

void BusLog::catchUp()
{
    qint64 next = 0;
    {
        const std::lock_guard lock(mutex_);
        catchUpPosted_ = false;
        next = next_;
    }
    const qint64 oldestKept = std::max(clearedAt_, next - kKept);
    if (oldestKept > shownFirst_ && shownEnd_ > shownFirst_) {
        const qint64 gone = std::min(oldestKept, shownEnd_) - shownFirst_;
        beginRemoveRows({}, 0, static_cast<int>(gone - 1));
        shownFirst_ += gone;
        endRemoveRows();
    }
    if (shownEnd_ == shownFirst_)
        shownFirst_ = shownEnd_ = std::max(shownEnd_, oldestKept);
    if (next > shownEnd_) {
        const int first = static_cast<int>(shownEnd_ - shownFirst_);
        beginInsertRows({}, first, first + static_cast<int>(next - shownEnd_) - 1);
        shownEnd_ = next;
        endInsertRows();
    }
}

void BusLog::clear()
{
    beginResetModel();
    {
        const std::lock_guard lock(mutex_);
        clearedAt_ = shownFirst_ = shownEnd_ = next_;
    }
    endResetModel();
}

std::optional<BusLog::Record> BusLog::record(int row) const
{
    const qint64 number = shownFirst_ + row;
    const std::lock_guard lock(mutex_);
    if (row < 0 || number >= shownEnd_ || number < next_ - kKept)
        return std::nullopt;
    return ring_[static_cast<std::size_t>(number % kKept)];
}

bus::TransactionKind BusLog::kind(int row) const
{
    const std::optional<Record> r = record(row);
    return r ? r->kind : bus::TransactionKind::PointerWrite;
}

QString BusLog::kindName(bus::TransactionKind kind)
{
    switch (kind) {
    case bus::TransactionKind::PointerWrite:
        return QStringLiteral("pointer write");
    case bus::TransactionKind::Read:
        return QStringLiteral("read");
    case bus::TransactionKind::DacWrite:
        return QStringLiteral("DAC write");
    case bus::TransactionKind::OtpWrite:
        return QStringLiteral("OTP write");
    case bus::TransactionKind::GeneralCall:
        return QStringLiteral("general call");
    case bus::TransactionKind::LineCheck:
        return QStringLiteral("line check");
    case bus::TransactionKind::Probe:
        return QStringLiteral("presence probe");
    }
    return {};
}

QString BusLog::text(const Record& r, int column) const
{
    switch (column) {
    case Time:
        return QDateTime::fromMSecsSinceEpoch(r.msecsSinceEpoch).toString(QStringLiteral("HH:mm:ss.zzz"));
    case Kind:
        return kindName(r.kind);
    case Address:
        // The address byte: seven address bits, then the direction.
        return r.size == 0 ? QString()
                           : QStringLiteral("0x%1 %2").arg(hexByte(r.bytes[0] >> 1).toLower(),
                                                           r.bytes[0] & 1 ? QStringLiteral("R")
                                                                          : QStringLiteral("W"));
    case Bytes: {
        QStringList bytes;
        for (std::size_t k = 0; k < std::min<std::size_t>(r.size, r.bytes.size()); ++k)
            bytes << hexByte(r.bytes[k]);
        if (r.size > r.bytes.size())
            bytes << QStringLiteral("...");
        return bytes.join(QLatin1Char(' '));
    }
    case Word:
        return r.hasWord ? QStringLiteral("%1").arg(r.word, 4, 16, QLatin1Char('0')).toUpper() : QString();
    case Acknowledge:
        return r.acknowledged < 0 ? QString()
               : r.acknowledged   ? QStringLiteral("ACK")
                                  : QStringLiteral("NACK");
    case Lines:
        return r.kind == bus::TransactionKind::LineCheck ? r.lines.finding() : QString();
    }
    return {};
}

int BusLog::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(shownEnd_ - shownFirst_);
}

int BusLog::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QVariant BusLog::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    const std::optional<Record> r = record(index.row());
    return r ? text(*r, index.column()) : QVariant();
}

QVariant BusLog::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return {};
    static const char* const titles[kColumns] = {"Time", "Kind",        "Address", "Bytes",
                                                 "Word", "Acknowledge", "Lines"};
    return section >= 0 && section < kColumns ? QString::fromLatin1(titles[section]) : QVariant();
}

} // namespace ui
