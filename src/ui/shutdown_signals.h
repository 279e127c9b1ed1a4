// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace ui {

// Turns SIGTERM, SIGHUP and SIGINT into a call from the event loop, so that a session ended from outside (a
// logout, a kill, Ctrl-C in the terminal) shuts down in order and keeps its settings. The handler only
// writes a byte to a socket; everything else happens in the event loop. One instance at a time.
class ShutdownSignals : public QObject {
    Q_OBJECT
public:
    explicit ShutdownSignals(std::function<void()> onSignal, QObject* parent = nullptr);
    ~ShutdownSignals() override;
    ShutdownSignals(const ShutdownSignals&) = delete;
    ShutdownSignals& operator=(const ShutdownSignals&) = delete;

private:
    static void handler(int signal);
    void arrived();

    std::function<void()> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace ui
