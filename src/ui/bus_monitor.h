// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/bus_observer.h"

#include <QWidget>

#include <map>

class QCheckBox;
class QLabel;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;

namespace ui {

class BusLog;
class Host;

// The bus monitor: what the program just did to the chip, one row per transaction as it happens (time,
// kind, address, bytes, the word read, the acknowledge where one was sampled, the line check's finding),
// the newest BusLog::kKept kept. Rows can be filtered by kind, copied and saved as text. It watches the bus
// only while it is open: closed, it costs the bus work nothing.
//
// It is a window of its own rather than a child of the main window, so that it stays usable while a batch
// run holds the main window.
class BusMonitor : public QWidget {
    Q_OBJECT
public:
    explicit BusMonitor(Host& host);

    BusLog& log() const { return *log_; }
    QTableView* view() const { return view_; }
    QCheckBox* kindBox(bus::TransactionKind kind) const { return kindBoxes_.at(kind); }
    QLabel* statusLabel() const { return status_; }
    // The rows shown (as filtered), or only the selected ones: a header line, then one line per row, the
    // columns separated by tabs.
    QString shownText(bool selectedOnly) const;
    // Writes shownText(false) to path; the outcome is said in the status line.
    void saveText(const QString& path);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void showCount();

    BusLog* log_ = nullptr;
    QSortFilterProxyModel* shown_ = nullptr;
    QTableView* view_ = nullptr;
    std::map<bus::TransactionKind, QCheckBox*> kindBoxes_;
    QLabel* status_ = nullptr;
    QString saveNote_;
    bool follow_ = true;
};

} // namespace ui
