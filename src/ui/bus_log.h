// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/bus_observer.h"

#include <QAbstractTableModel>

#include <array>
#include <mutex>
#include <optional>
#include <vector>

namespace engine {
class Engine;
}

namespace ui {

// The transactions of the bus engine as a table, the newest kKept of them: what the bus monitor lists. Each
// transaction costs a copy of a few bytes into a ring of fixed size; the texts are made only for the rows a
// view shows. The table catches up with the ring once the event loop runs, in one step however many
// transactions came meanwhile, so a batch run feeding it thousands a second costs no view work per
// transaction.
class BusLog : public QAbstractTableModel, public bus::BusObserver {
    Q_OBJECT
public:
    static constexpr int kKept = 10000;
    enum Column { Time, Kind, Address, Bytes, Word, Acknowledge, Lines, kColumns };

    // Watches the engine from now on, until detach() or the end of the log. The engine may run on a
    // thread of its own: what it tells is copied into the ring under a lock.
    explicit BusLog(engine::Engine& engine, QObject* parent = nullptr);
    ~BusLog() override;
    void detach();

    void starting(const bus::Transaction&) override {}
    void done(const bus::Transaction& transaction) override;

    // Transactions seen since the log started or was cleared, those no longer kept included.
    qint64 seen() const
    {
        const std::lock_guard lock(mutex_);
        return next_ - clearedAt_;
    }
    void clear();
    bus::TransactionKind kind(int row) const;
    static QString kindName(bus::TransactionKind kind);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    struct Record {
        qint64 msecsSinceEpoch = 0;
        bus::TransactionKind kind = bus::TransactionKind::PointerWrite;
        quint8 size = 0; // bytes on the bus, address byte first; the first four are kept
        std::array<quint8, 4> bytes{};
        bool hasWord = false;
        quint16 word = 0;
        qint8 acknowledged = -1; // -1: not sampled
        bus::LineCheck lines;
    };
    // The record shown in row, or none while it waits to be dropped from the table.
    std::optional<Record> record(int row) const;
    QString text(const Record& record, int column) const;
    // Brings the table's rows up to the ring: the rows overwritten since leave it, the new ones join it.
    void catchUp();

    engine::Engine* engine_;
    // Guards the ring, next_ and catchUpPosted_, which the bus thread writes.
    mutable std::mutex mutex_;
    std::vector<Record> ring_;
    // Transactions are numbered from 0 as they come; number n lives in ring_[n % kKept].
    qint64 next_ = 0;
    qint64 clearedAt_ = 0;
    // The numbers the table's rows show: [shownFirst_, shownEnd_).
    qint64 shownFirst_ = 0;
    qint64 shownEnd_ = 0;
    bool catchUpPosted_ = false;
};

} // namespace ui
