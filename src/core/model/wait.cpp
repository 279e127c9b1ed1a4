// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "model/wait.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <climits>
#include <cmath>

namespace model {

void wait_seconds(double seconds)
{
    if (!(seconds > 0))
        return;
    QElapsedTimer clock;
    clock.start();
    const double totalMs = seconds * 1000;

    // A local loop lets queued events (a second click included) run nested inside the wait while the thread
    // sleeps. QTimer takes whole milliseconds in an int, so long waits are re-armed in chunks.
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    for (;;) {
        const double remainingMs = totalMs - static_cast<double>(clock.nsecsElapsed()) / 1e6;
        if (remainingMs <= 0)
            return;
        timer.start(remainingMs >= INT_MAX ? INT_MAX : static_cast<int>(std::ceil(remainingMs)));
        loop.exec();
        if (timer.isActive())
            throw ProgramEnding(); // the loop was ended from outside
    }
}

} // namespace model
