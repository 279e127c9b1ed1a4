// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "engine/engine.h"

#include <functional>

// Does something to the bench (asks for a stop, pulls the adapter) as the nth transaction of a kind starts;
// that transaction itself still begins. nth 0: never.
class AtTransaction final : public bus::BusObserver {
public:
    AtTransaction(engine::Engine& engine, bus::TransactionKind kind, int nth, std::function<void()> act)
        : engine_(engine), kind_(kind), nth_(nth), act_(std::move(act))
    {
        engine_.addObserver(this);
    }
    ~AtTransaction() { engine_.removeObserver(this); }
    AtTransaction(const AtTransaction&) = delete;
    AtTransaction& operator=(const AtTransaction&) = delete;

    void starting(const bus::Transaction& started) override
    {
        if (started.kind == kind_ && --nth_ == 0)
            act_();
    }
    void done(const bus::Transaction&) override {}

private:
    engine::Engine& engine_;
    const bus::TransactionKind kind_;
    int nth_;
    std::function<void()> act_;
};
