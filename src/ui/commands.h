// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "engine/bus_thread.h"
#include "ui/task.h"

#include <QElapsedTimer>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

class QDialog;
class QWidget;

namespace ui {

// Thrown out of a wait once the program is ending: the command that waited stops there.
class ProgramEnding : public std::exception {
public:
    const char* what() const noexcept override { return "the program is ending"; }
};

// A batch that failed on the bus, as a command meets it.
class BusFailed : public std::exception {
public:
    explicit BusFailed(engine::Failure failure) : failure_(std::move(failure)) {}
    const engine::Failure& failure() const { return failure_; }
    const char* what() const noexcept override { return "the bus work failed"; }

private:
    engine::Failure failure_;
};

namespace detail {
struct Wait;
}

// The windows' commands, one at a time, in the order they were given: a click, a keystroke in a voltage
// box, an arrow step, a file loaded. A command given while another runs waits its turn and is never lost;
// only where the program has always let a second command run inside a waiting one (the 0.1 s wait before a
// read-back, a batch's delays, an open port dialog or batch window) do the commands given since the
// waiting one began run there, to their end, before it goes on. With nothing running a command starts at
// once, inside the event that gave it.
//
// Commands run on the window's thread as coroutines (Task): their bus work goes to the bus thread, and
// where they wait (for the bus, a delay, an answer) the event loop runs on, so the windows never freeze.
// Every report and question is shown from a slot of the top-level event loop and can be answered at any
// time. The channel model's writes made while a command runs are gathered and go to the bus as one batch
// at the command's next wait, in the order made.
class Commands : public QObject, public engine::CommandSink {
    Q_OBJECT
public:
    using Job = std::function<Task<>()>;
    // Work shorter than this shows no progress.
    static constexpr int kQuietMs = 300;

    Commands(engine::BusThread& bus, QWidget* window);
    ~Commands() override;
    Commands(const Commands&) = delete;
    Commands& operator=(const Commands&) = delete;

    // Queues a command; it starts from the event loop.
    void post(Job job);
    // A command runs, or one waits to.
    bool busy() const { return running_ > 0 || !queue_.empty(); }
    bool ending() const { return ending_; }
    engine::BusThread& bus() { return bus_; }
    const engine::ConnectionState& connection() const { return connection_; }
    // What follows every command (the window's settings written as they change); its texts are reported.
    void setAfterCommand(std::function<QStringList()> afterCommand)
    {
        afterCommand_ = std::move(afterCommand);
    }

    // Inside a command. Writes are gathered for the next batch.
    void send(engine::Command command) override;
    // Sends what was gathered, then the batch; throws BusFailed (ProgramEnding once the program ends).
    Task<engine::Outcome> run(engine::Batch batch);
    // The same, with a failure handed back in the outcome instead of thrown (ProgramEnding still is).
    Task<engine::Outcome> attempt(engine::Batch batch);
    // Sends what was gathered (as one uninterruptible batch if asked).
    Task<engine::Outcome> flush(bool uninterruptible = false);
    // The same, with a failure handed back in the outcome.
    Task<engine::Outcome> attemptFlush();
    // Returns after the given seconds; the commands posted before or meanwhile run inside it.
    Task<> wait_seconds(double seconds);
    // The commands posted so far run now, each to its end.
    Task<> letWaitingRun();
    // Sleeps until the time is up, a command is posted, or wake() is called; the cursor stays normal.
    Task<> pause(double seconds);
    void wake();
    // Returns from the event loop's next pass.
    Task<> yield();
    // Shows the box (which it then owns) without blocking any window, and returns the role of the button
    // the user chose (RejectRole for a box closed without one). Throws ProgramEnding once the program ends.
    Task<QMessageBox::ButtonRole> ask(QMessageBox* box);
    // Shows the dialog modal to its window and returns its result once it is closed; the commands posted
    // while it is open run meanwhile (the dialog's own). Once the program is ending it is rejected and
    // ProgramEnding thrown. The dialog stays the caller's.
    // modal false: shown as a window of its own, blocking nothing (the caller decides what it disables).
    Task<int> showDialog(QPointer<QDialog> dialog, bool modal = true);
    // A failure or a warning, in a message box; returns once the user has closed it.
    Task<> report(QString text, QWidget* parent = nullptr);
    // What the command is doing and how many transactions it takes (0: not known), for its progress.
    void describe(const QString& what, int transactions);

    // Ends in order: the bus work stops at its next transaction (an uninterruptible batch finishes first),
    // the commands that wait are dropped, open questions are answered Cancel, and no command or question
    // starts any more. ended runs from the event loop once nothing runs.
    void end(std::function<void()> ended);

    // A failure as a user reads it.
    static QString describeFailure(const std::exception& e);

signals:
    void connectionChanged();
    // What the work is, transactions done and expected (0: not known); an empty text once it has ended.
    void progressed(const QString& what, int done, int total);
    // Whether a command is busy with the bus (not waiting for the user or in a long pause).
    void workingChanged(bool working);
    // No command runs or waits.
    void idle();

private:
    friend struct detail::Wait;

    Task<> drive();
    Task<> runOne(Job job);
    Task<> waitForPost();
    void checkEnding() const;
    bool runnableWaiting() const;
    void took(const engine::Outcome& outcome);
    void tick();
    void setUserWaits(int delta);
    void finishEnding();
    // Until the time has passed, a command is posted (wake()) or the program ends (then ProgramEnding).
    Task<> sleep(double seconds);
    void remember(const std::shared_ptr<detail::Wait>& wait);

    engine::BusThread& bus_;
    QPointer<QWidget> window_;
    struct Queued {
        Job job;
        quint64 seq = 0; // in the order posted
    };
    std::deque<Queued> queue_;
    quint64 nextSeq_ = 0;
    // For each command running (the innermost last), the first number posted after it began.
    std::vector<quint64> starts_;
    engine::Batch gathered_;
    int running_ = 0;
    int userWaits_ = 0;
    bool working_ = false;
    bool ending_ = false;
    std::function<void()> ended_;
    std::function<QStringList()> afterCommand_;
    engine::ConnectionState connection_;
    bool traceReported_ = false;
    std::vector<std::weak_ptr<detail::Wait>> waits_;
    std::shared_ptr<detail::Wait> posted_; // the queue's driver, waiting for a command
    Task<> driver_;

    QTimer progressTimer_;
    QElapsedTimer since_;
    QString what_;
    int total_ = 0;
    quint64 startCount_ = 0;
    bool shown_ = false;
};

} // namespace ui
