// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/bus_work.h"

#include "app/bench.h"
#include "ui/input_gate.h"

#include <QCoreApplication>

namespace ui {

BusWork::BusWork(app::Bench& bench, InputGate& gate) : bench_(bench), gate_(gate)
{
    setBeatInterval(kBeatMs);
    bench_.i2c.addObserver(this);
}

void BusWork::setBeatInterval(int ms)
{
    bench_.heartbeat.setBeat([this] { beat(); }, ms);
}

BusWork::~BusWork()
{
    bench_.i2c.removeObserver(this);
    bench_.heartbeat.setBeat({}, 0);
}

void BusWork::commandBegan()
{
    inCommand_ = true;
    shown_ = false;
    since_.start();
    what_ = QStringLiteral("Working on the bus");
    done_ = 0;
    total_ = 0;
}

void BusWork::commandEnded()
{
    inCommand_ = false;
    if (shown_)
        emit progressed({}, 0, 0);
    shown_ = false;
}

void BusWork::describe(const QString& what, int transactions)
{
    what_ = what;
    total_ = transactions;
    done_ = 0;
}

void BusWork::starting(bus::TransactionKind) {}

void BusWork::done(const bus::Transaction&)
{
    ++done_;
}

void BusWork::beat()
{
    if (inCommand_ && since_.elapsed() >= kQuietMs) {
        shown_ = true;
        emit progressed(what_, done_, total_);
    }
    const InputGate::Hold hold(gate_);
    ++beating_;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    --beating_;
}

} // namespace ui
