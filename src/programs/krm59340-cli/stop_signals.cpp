// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "stop_signals.h"

#include "bus/interrupter.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace cli {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t caughtSignal = 0;
std::atomic<bus::Interrupter*> attached{nullptr};
static_assert(std::atomic<bus::Interrupter*>::is_always_lock_free, "the handler reads it");

extern "C" void onStopSignal(int signal)
{
    caughtSignal = signal;
    if (bus::Interrupter* interrupter = attached.load())
        interrupter->request();
}

sigset_t stopSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kStopSignals)
        sigaddset(&set, signal);
    return set;
}

} // namespace

void StopSignals::install()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // A line request in progress is finished rather than failed with EINTR; the stop comes after it.
    action.sa_flags = SA_RESTART;
    for (int signal : kStopSignals) {
        struct sigaction previous {};
        sigaction(signal, nullptr, &previous);
        // A shell that starts us in the background ignores SIGINT for us: it stays ignored, as is the custom.
        if (previous.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

void StopSignals::attach(bus::Interrupter* interrupter)
{
    attached.store(interrupter);
    if (interrupter && caughtSignal != 0)
        interrupter->request();
}

int StopSignals::caught()
{
    return caughtSignal;
}

const char* StopSignals::caughtName()
{
    switch (caughtSignal) {
    case SIGINT:
        return "SIGINT (Ctrl-C)";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "no signal";
    }
}

void StopSignals::endByCaughtSignal()
{
    const int signal = caughtSignal;
    std::fflush(stdout);
    std::fflush(stderr);
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
    _exit(128 + signal); // a signal whose default action does not end the program
}

namespace {

// The stop signals blocked for the object's life, and the mask that lets them through while waiting,
// whatever mask the program was started with.
class StopsBlocked {
public:
    StopsBlocked()
    {
        const sigset_t stops = stopSignalSet();
        sigprocmask(SIG_BLOCK, &stops, &previous_);
        waiting_ = previous_;
        for (int signal : kStopSignals)
            sigdelset(&waiting_, signal);
    }
    ~StopsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    StopsBlocked(const StopsBlocked&) = delete;
    StopsBlocked& operator=(const StopsBlocked&) = delete;

    const sigset_t* waiting() const { return &waiting_; }

private:
    sigset_t previous_;
    sigset_t waiting_;
};

} // namespace

bool StopSignals::waitReadable(int fd, const bus::Interrupter& interrupter)
{
    const StopsBlocked blocked;
    pollfd input{fd, POLLIN, 0};
    while (!interrupter.requested()) {
        // An error is the read's to report.
        const int ready = ppoll(&input, 1, nullptr, blocked.waiting());
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return true;
    }
    return false;
}

bool StopSignals::sleepUnlessStopped(double seconds, const bus::Interrupter& interrupter)
{
    using namespace std::chrono;
    const StopsBlocked blocked;
    // A billion seconds is forever for a bench, and keeps the deadline inside the clock's range.
    const auto deadline =
        steady_clock::now() + duration_cast<nanoseconds>(duration<double>(std::min(seconds, 1e9)));
    bool stopped = false;
    while (!(stopped = interrupter.requested())) {
        const auto left = duration_cast<nanoseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            break;
        const timespec timeout{time_t(left / 1000000000), long(left % 1000000000)};
        ppoll(nullptr, 0, &timeout, blocked.waiting());
    }
    return !stopped;
}

} // namespace cli
