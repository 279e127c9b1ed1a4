// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "serial/forwarding_port.h"

#include <QElapsedTimer>

#include <functional>

namespace serial {

// Forwards every request to the port it wraps and, between line requests, calls a beat at most once per
// interval. On a USB adapter every line request is a round trip of about a millisecond, so a read-back of
// the chip takes seconds; the beat is where a window repaints and answers the desktop meanwhile. Without a
// beat it only forwards.
class HeartbeatPort : public ForwardingPort {
public:
    explicit HeartbeatPort(SerialPort& inner) : ForwardingPort(inner) {}

    // The beat runs after a line request has completed, never inside one.
    void setBeat(std::function<void()> beat, int intervalMs);

    void setRts(bool asserted) override
    {
        ForwardingPort::setRts(asserted);
        tick();
    }
    void setDtr(bool asserted) override
    {
        ForwardingPort::setDtr(asserted);
        tick();
    }
    bool dsr() override
    {
        const bool asserted = ForwardingPort::dsr();
        tick();
        return asserted;
    }

private:
    // Beats come an interval into continuous bus work and every interval after: the first request after a
    // pause starts the count afresh, so no beat lands at the very start of a piece of work.
    void tick()
    {
        if (!beat_)
            return;
        const qint64 now = clock_.elapsed();
        if (now - lastRequest_ > intervalMs_)
            lastBeat_ = now;
        lastRequest_ = now;
        if (now - lastBeat_ >= intervalMs_) {
            beat_();
            lastBeat_ = lastRequest_ = clock_.elapsed();
        }
    }

    std::function<void()> beat_;
    qint64 intervalMs_ = 0;
    QElapsedTimer clock_;
    qint64 lastRequest_ = 0;
    qint64 lastBeat_ = 0;
};

} // namespace serial
