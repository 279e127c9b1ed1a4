// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "engine/bus_thread.h"

namespace engine {

BusThread::BusThread(Engine& engine, QObject* parent) : QObject(parent), engine_(engine), worker_(new QObject)
{
    thread_.setObjectName(QStringLiteral("bus"));
    worker_->moveToThread(&thread_);
    thread_.start();
}

BusThread::~BusThread()
{
    thread_.quit();
    thread_.wait();
    delete worker_;
}

void BusThread::post(Batch batch, Done done)
{
    ++inFlight_;
    QMetaObject::invokeMethod(
        worker_,
        [this, batch = std::move(batch), done = std::move(done)] {
            Outcome outcome = engine_.run(batch);
            QMetaObject::invokeMethod(
                this,
                [this, done, outcome = std::move(outcome)] {
                    --inFlight_;
                    done(outcome);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

} // namespace engine
