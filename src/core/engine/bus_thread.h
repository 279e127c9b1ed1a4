// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "engine/engine.h"

#include <QObject>
#include <QThread>

#include <functional>

namespace engine {

// Runs an engine on a thread of its own, so that the thread that posts the work (the window's) never waits
// for the bus. Batches run one at a time in the order posted; each outcome comes back as a queued call on
// the thread that owns this object, from its event loop.
class BusThread : public QObject {
    Q_OBJECT
public:
    using Done = std::function<void(const Outcome&)>;

    explicit BusThread(Engine& engine, QObject* parent = nullptr);
    // Waits for the batch under way; ask the engine's interrupter first to make that short. Outcomes not yet
    // handed back are dropped.
    ~BusThread() override;
    BusThread(const BusThread&) = delete;
    BusThread& operator=(const BusThread&) = delete;

    void post(Batch batch, Done done);
    // Batches posted whose outcome has not been handed back yet.
    int inFlight() const { return inFlight_; }
    Engine& engine() { return engine_; }

private:
    Engine& engine_;
    QThread thread_;
    QObject* worker_;
    int inFlight_ = 0;
};

} // namespace engine
