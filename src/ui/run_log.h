// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QAbstractTableModel>
#include <QDateTime>

#include <deque>
#include <optional>

namespace ui {

// The batch window's record of what it applied: one line per file with the local time its trigger block
// went out (or the application failed), the cycle, the file and the result, so that the applied sets can be
// lined up with an instrument's readings. It keeps the newest lines only: a run without a delay writes
// hundreds a second, for as long as the bench stays on.
class RunLog : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kKept = 100000;
    enum Column { Time, Cycle, File, Result, kColumns };

    explicit RunLog(QObject* parent = nullptr);

    // cycle 0 is a single step; at: when its trigger block went out (now, when not given).
    void add(qint64 cycle, const QString& file, const QString& result, const QDateTime& at = {});
    void clear();
    // Lines dropped to keep the newest kKept.
    qint64 dropped() const { return dropped_; }

    // The lines as CSV (RFC 4180: a header line, CR LF line ends, fields quoted where they need it), UTF-8.
    QByteArray csv() const;
    // Writes csv() to path, replacing the file only once all of it is written. Returns why it failed.
    std::optional<QString> save(const QString& path) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    struct Line {
        qint64 msecsSinceEpoch;
        qint64 cycle;
        QString file;
        QString result;
    };
    // The view shows the time of day; the CSV the date as well.
    enum class Form { View, Csv };
    QString text(const Line& line, int column, Form form) const;

    std::deque<Line> lines_;
    qint64 dropped_ = 0;
};

} // namespace ui
