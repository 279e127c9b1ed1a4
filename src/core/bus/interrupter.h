// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/bus_observer.h"

#include <atomic>
#include <exception>

namespace bus {

// Thrown instead of starting a transaction once bus work was asked to stop.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "the bus work was stopped"; }
};

// Stops bus work between transactions, never inside one: once asked to, the next transaction that starts
// throws Interrupted, so the bus is left idle with both lines released. A sequence that must not be cut (an
// OTP burn, its reset and the bank status read: a half-burnt bank is worse than a late stop) runs inside an
// Uninterruptible scope, and a stop asked for meanwhile waits for it to end. request() may be called from
// a signal handler.
class Interrupter : public BusObserver {
public:
    void request() { requested_.store(true, std::memory_order_relaxed); }
    bool requested() const { return requested_.load(std::memory_order_relaxed); }
    void clear() { requested_.store(false, std::memory_order_relaxed); }
    // For work that is no transaction of its own (a trigger block) or that is about to be shielded: a stop
    // asked for during the transactions before it (the open's probe) must not let it begin.
    void check() const
    {
        if (requested())
            throw Interrupted();
    }

    class Uninterruptible {
    public:
        explicit Uninterruptible(Interrupter& interrupter) : interrupter_(interrupter)
        {
            ++interrupter_.shielded_;
        }
        ~Uninterruptible() { --interrupter_.shielded_; }
        Uninterruptible(const Uninterruptible&) = delete;
        Uninterruptible& operator=(const Uninterruptible&) = delete;

    private:
        Interrupter& interrupter_;
    };

    void starting(const Transaction&) override
    {
        if (shielded_ == 0 && requested())
            throw Interrupted();
    }
    void done(const Transaction&) override {}

private:
    static_assert(std::atomic<bool>::is_always_lock_free, "request() must be safe in a signal handler");
    std::atomic<bool> requested_{false};
    int shielded_ = 0;
};

} // namespace bus
