// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "serial/heartbeat_port.h"

namespace serial {

void HeartbeatPort::setBeat(std::function<void()> beat, int intervalMs)
{
    beat_ = std::move(beat);
    intervalMs_ = intervalMs;
    clock_.start();
}

} // namespace serial
