#include "model/wait.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <limits>

namespace {

// Whether an event queued before the call ran inside it: no clock is read, so nothing here is timed.
bool queuedEventRunsDuring(double seconds)
{
    bool ran = false;
    QTimer::singleShot(0, [&ran] { ran = true; });
    model::wait_seconds(seconds);
    const bool ranInside = ran;
    while (!ran) // do not leave the event behind for the next test
        QCoreApplication::processEvents();
    return ranInside;
}

TEST(Wait, QueuedEventsRunNestedInsideTheWait)
{
    EXPECT_TRUE(queuedEventRunsDuring(0.05));
}

TEST(Wait, ReturnsAtOnceForNothingToWait)
{
    for (double s : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()})
        EXPECT_FALSE(queuedEventRunsDuring(s)) << s;
}

} // namespace
