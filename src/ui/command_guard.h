// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QString>

#include <exception>
#include <functional>

namespace ui {

// The one place where failures stop: every user command runs through run(), which catches whatever the
// command threw, reports it once and returns to the event loop, so no exception ever crosses Qt's event
// loop and the program keeps its state. Handlers that Qt calls from inside one of our own setters (the
// change handling of a voltage box set by a refresh) must not report on their own: they park the failure
// with runNested() and the setter re-throws it with rethrowParked() once Qt's frames are behind it, so the
// command that started it ends and reports it once.
class CommandGuard {
public:
    using Report = std::function<void(const QString& title, const QString& text)>;
    using EndProgram = std::function<void()>;

    CommandGuard(Report report, EndProgram endProgram);

    void setReport(Report report) { report_ = std::move(report); }

    // Runs fn; on failure reports it and returns false.
    bool run(const std::function<void()>& fn);
    // Runs fn inside one of our setters: a failure is kept for rethrowParked().
    void runNested(const std::function<void()>& fn);
    void rethrowParked();

    // The text a user sees for a failure.
    static QString describe(const std::exception& e);

private:
    Report report_;
    EndProgram endProgram_;
    std::exception_ptr parked_;
};

} // namespace ui
