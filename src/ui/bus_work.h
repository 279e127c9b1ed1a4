// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/bus_observer.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

namespace app {
class Bench;
}

namespace ui {

class InputGate;

// Keeps the windows alive while a command works on the bus: between line requests (every 20 ms at most) it
// lets the window system's events run with the user's input held back by the gate, so the windows repaint,
// answer the desktop's "are you alive" ping and show how far the work has got, while no second command can
// start inside the first. It counts the transactions of each command for the progress display.
class BusWork : public QObject, public bus::BusObserver {
    Q_OBJECT
public:
    static constexpr int kBeatMs = 20;
    // Work shorter than this shows no progress, only the busy cursor.
    static constexpr int kQuietMs = 300;

    BusWork(app::Bench& bench, InputGate& gate);
    ~BusWork() override;
    BusWork(const BusWork&) = delete;
    BusWork& operator=(const BusWork&) = delete;

    // How often the window breathes during bus work (tests breathe at every line request).
    void setBeatInterval(int ms);
    // True inside a beat: whatever runs now was started by a timer in the middle of bus work.
    bool beating() const { return beating_ > 0; }

    // The outermost command begins and ends; what the work is called and how many transactions it takes
    // (0 when not known) may be said once it has begun.
    void commandBegan();
    void commandEnded();
    void describe(const QString& what, int transactions);

    void starting(bus::TransactionKind kind) override;
    void done(const bus::Transaction& transaction) override;

signals:
    // What the work is, transactions done and expected (0: not known); an empty text once it has ended.
    void progressed(const QString& what, int done, int total);

private:
    void beat();

    app::Bench& bench_;
    InputGate& gate_;
    int beating_ = 0;
    bool inCommand_ = false;
    bool shown_ = false;
    QElapsedTimer since_;
    QString what_;
    int done_ = 0;
    int total_ = 0;
};

} // namespace ui
