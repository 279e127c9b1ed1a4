// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/shutdown_signals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ui {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};
int wakeUp[2] = {-1, -1}; // [0] read by the event loop, [1] written by the handler

} // namespace

ShutdownSignals::ShutdownSignals(std::function<void()> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal))
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, wakeUp) != 0)
        return; // no way to hear of signals: they end the program as they always did
    notifier_ = new QSocketNotifier(wakeUp[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &ShutdownSignals::arrived);
    struct sigaction action {};
    action.sa_handler = &ShutdownSignals::handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals)
        ::sigaction(signal, &action, nullptr);
}

ShutdownSignals::~ShutdownSignals()
{
    if (!notifier_)
        return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals)
        ::sigaction(signal, &action, nullptr);
    delete notifier_;
    ::close(wakeUp[0]);
    ::close(wakeUp[1]);
    wakeUp[0] = wakeUp[1] = -1;
}

void ShutdownSignals::handler(int)
{
    const char byte = 1;
    // Nothing but async-signal-safe calls here; a full socket already holds a wake-up.
    [[maybe_unused]] const ssize_t written = ::write(wakeUp[1], &byte, 1);
}

void ShutdownSignals::arrived()
{
    char drain[64];
    while (::read(wakeUp[0], drain, sizeof drain) > 0) {
    }
    if (onSignal_)
        onSignal_();
}

} // namespace ui
