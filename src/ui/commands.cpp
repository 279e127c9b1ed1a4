// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/commands.h"

#include "files/text_error.h"
#include "model/channel_model.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QWidget>

#include <climits>
#include <cmath>

namespace ui {

namespace detail {

// Something a command waits for. Whoever completes it resumes the command from the event loop; a command
// whose frame is gone (the program ended) has cleared the handle, so nothing is resumed then.
struct Wait {
    std::coroutine_handle<> handle;
    bool ready = false;
    // What a posted command (or wake()) does to it: a pause ends early.
    std::function<void()> wake;
    // What the end of the program does to it: a question is answered Cancel, a pause ends.
    std::function<void()> cancel;

    void resume()
    {
        ready = true;
        if (const std::coroutine_handle<> waiting = std::exchange(handle, {}))
            waiting.resume();
    }
};

} // namespace detail

namespace {

// The awaiter a command keeps in its frame while it waits.
struct Awaiting {
    explicit Awaiting(std::shared_ptr<detail::Wait> waitFor) : wait(std::move(waitFor)) {}

    std::shared_ptr<detail::Wait> wait;

    bool await_ready() const noexcept { return wait->ready; }
    void await_suspend(std::coroutine_handle<> waiting) noexcept { wait->handle = waiting; }
    void await_resume() const noexcept {}
    Awaiting(const Awaiting&) = delete;
    Awaiting& operator=(const Awaiting&) = delete;
    ~Awaiting() { wait->handle = {}; }
};

// How long a command waits for the user or in a long pause: the busy cursor and the progress go meanwhile.
struct UserWait {
    explicit UserWait(std::function<void(int)> count) : count_(std::move(count)) { count_(+1); }
    ~UserWait() { count_(-1); }
    UserWait(const UserWait&) = delete;
    UserWait& operator=(const UserWait&) = delete;

private:
    std::function<void(int)> count_;
};

constexpr int kProgressMs = 50;

} // namespace

Commands::Commands(engine::BusThread& bus, QWidget* window) : QObject(window), bus_(bus), window_(window)
{
    progressTimer_.setInterval(kProgressMs);
    connect(&progressTimer_, &QTimer::timeout, this, &Commands::tick);
    driver_ = drive();
    driver_.start();
}

Commands::~Commands() = default;

QString Commands::describeFailure(const std::exception& e)
{
    if (const auto* failed = dynamic_cast<const BusFailed*>(&e))
        return failed->failure().text();
    if (const auto* port = dynamic_cast<const serial::PortError*>(&e))
        return QStringLiteral("The serial port failed.\n\n%1").arg(port->text());
    if (const auto* text = dynamic_cast<const files::TextError*>(&e))
        return text->text();
    return QString::fromStdString(e.what());
}

void Commands::post(Job job)
{
    if (ending_)
        return;
    queue_.push_back({std::move(job), nextSeq_++});
    wake();
    // With nothing running the command starts at once, inside the event that gave it, as a command always
    // did: a keystroke that follows finds its work done.
    if (const std::shared_ptr<detail::Wait> idle = posted_)
        idle->resume();
}

bool Commands::runnableWaiting() const
{
    // Only what was posted after the command that waits began: the commands that were waiting already when
    // it began keep their turn after it.
    return !queue_.empty() && !ending_ && (starts_.empty() || queue_.front().seq >= starts_.back());
}

Task<> Commands::waitForPost()
{
    posted_ = std::make_shared<detail::Wait>();
    {
        Awaiting awaiting{posted_};
        co_await awaiting;
    }
    posted_.reset();
}

Task<> Commands::drive()
{
    for (;;) {
        while (queue_.empty() && !ending_)
            co_await waitForPost();
        if (ending_)
            break;
        Job job = std::move(queue_.front().job);
        queue_.pop_front();
        co_await runOne(std::move(job));
        if (!busy())
            emit idle();
    }
    finishEnding();
}

Task<> Commands::runOne(Job job)
{
    if (running_++ == 0) {
        since_.start();
        what_ = QStringLiteral("Working on the bus");
        total_ = 0;
        startCount_ = bus_.engine().transactions();
        shown_ = false;
        progressTimer_.start();
    }
    starts_.push_back(nextSeq_);
    setUserWaits(0);
    QStringList reports;
    bool fatal = false;
    bool busFailed = false;
    try {
        Task<> task = job();
        co_await task;
        co_await flush();
    } catch (const ProgramEnding&) {
    } catch (const BusFailed& e) {
        busFailed = true;
        if (e.failure().kind != engine::Failure::Kind::Interrupted)
            reports << e.failure().text();
    } catch (const model::FatalError& e) {
        reports << QString::fromStdString(e.what());
        fatal = true;
    } catch (const std::exception& e) {
        reports << describeFailure(e);
    }
    // The writes a command made before it failed went out as they were made, when the bus was driven
    // from the window; after a failure of the bus itself nothing more goes.
    if (busFailed || fatal || ending_) {
        gathered_ = {};
    } else if (!gathered_.commands.empty()) {
        try {
            co_await flush();
        } catch (const BusFailed& e) {
            reports << e.failure().text();
        } catch (const ProgramEnding&) {
        }
    }
    starts_.pop_back();
    if (!ending_ && !fatal && afterCommand_)
        reports << afterCommand_();
    for (const QString& text : std::as_const(reports)) {
        if (ending_)
            break;
        try {
            co_await report(text);
        } catch (const ProgramEnding&) {
        }
    }
    if (--running_ == 0) {
        progressTimer_.stop();
        if (shown_)
            emit progressed({}, 0, 0);
        shown_ = false;
    }
    setUserWaits(0);
    // The one failure that has always ended the program, without saving.
    if (fatal)
        QCoreApplication::exit(1);
}

void Commands::checkEnding() const
{
    if (ending_)
        throw ProgramEnding();
}

void Commands::send(engine::Command command)
{
    gathered_.commands.push_back(std::move(command));
    // Writes made outside any command (none are meant to be) still reach the chip, as a command of their
    // own.
    if (running_ == 0 && gathered_.commands.size() == 1)
        post([]() -> Task<> { co_return; });
}

Task<engine::Outcome> Commands::run(engine::Batch batch)
{
    engine::Outcome outcome = co_await attempt(std::move(batch));
    if (outcome.failure)
        throw BusFailed(*outcome.failure);
    co_return outcome;
}

Task<engine::Outcome> Commands::attempt(engine::Batch batch)
{
    checkEnding();
    if (!gathered_.commands.empty())
        co_await flush();
    const auto wait = std::make_shared<detail::Wait>();
    const auto outcome = std::make_shared<engine::Outcome>();
    bus_.post(std::move(batch), [wait, outcome](const engine::Outcome& result) {
        *outcome = result;
        wait->resume();
    });
    {
        Awaiting awaiting{wait};
        co_await awaiting;
    }
    took(*outcome);
    checkEnding();
    co_return std::move(*outcome);
}

Task<engine::Outcome> Commands::flush(bool uninterruptible)
{
    engine::Batch batch = std::exchange(gathered_, {});
    if (batch.commands.empty()) {
        engine::Outcome nothing;
        nothing.connection = connection_;
        co_return nothing;
    }
    batch.uninterruptible = uninterruptible;
    co_return co_await run(std::move(batch));
}

Task<engine::Outcome> Commands::attemptFlush()
{
    engine::Batch batch = std::exchange(gathered_, {});
    co_return co_await attempt(std::move(batch));
}

void Commands::took(const engine::Outcome& outcome)
{
    if (!(outcome.connection == connection_)) {
        connection_ = outcome.connection;
        emit connectionChanged();
    }
    if (outcome.traceFailure && !traceReported_) {
        traceReported_ = true;
        // Said once, after the command: every later write would fail the same way.
        post([this, text = *outcome.traceFailure]() -> Task<> { co_await report(text); });
    }
}

Task<> Commands::letWaitingRun()
{
    co_await flush();
    while (runnableWaiting()) {
        Job job = std::move(queue_.front().job);
        queue_.pop_front();
        co_await runOne(std::move(job));
    }
    checkEnding();
}

Task<> Commands::wait_seconds(double seconds)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        co_await letWaitingRun();
        const double left = seconds - static_cast<double>(clock.nsecsElapsed()) / 1e9;
        if (!(left > 0))
            break;
        co_await sleep(left);
    }
}

Task<> Commands::pause(double seconds)
{
    checkEnding();
    if (!(seconds > 0) || runnableWaiting())
        co_return;
    const UserWait idle([this](int delta) { setUserWaits(delta); });
    co_await sleep(seconds);
}

Task<> Commands::sleep(double seconds)
{
    const auto wait = std::make_shared<detail::Wait>();
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, [wait] { wait->resume(); });
    const double ms = seconds * 1000;
    timer.start(ms >= INT_MAX ? INT_MAX : static_cast<int>(std::ceil(ms)));
    // Called only through a live lock of waits_: a capture of the pointer itself would keep it forever.
    wait->wake = [raw = wait.get()] { raw->resume(); };
    wait->cancel = wait->wake;
    remember(wait);
    Awaiting awaiting{wait};
    co_await awaiting;
    checkEnding();
}

void Commands::remember(const std::shared_ptr<detail::Wait>& wait)
{
    std::erase_if(waits_, [](const std::weak_ptr<detail::Wait>& weak) { return weak.expired(); });
    waits_.push_back(wait);
}

Task<> Commands::yield()
{
    checkEnding();
    const auto wait = std::make_shared<detail::Wait>();
    QTimer::singleShot(0, this, [wait] { wait->resume(); });
    {
        Awaiting awaiting{wait};
        co_await awaiting;
    }
    checkEnding();
}

void Commands::wake()
{
    // A woken command runs on at once and may wait anew, which changes the list.
    const std::vector<std::weak_ptr<detail::Wait>> waits = waits_;
    for (const auto& weak : waits)
        if (const auto wait = weak.lock(); wait && wait->wake)
            wait->wake();
}

Task<QMessageBox::ButtonRole> Commands::ask(QMessageBox* box)
{
    const QPointer<QMessageBox> shown(box);
    struct Dispose {
        QPointer<QMessageBox> box;
        ~Dispose()
        {
            if (box)
                box->deleteLater();
        }
    } dispose{shown};
    checkEnding();
    const auto wait = std::make_shared<detail::Wait>();
    // Not from inside the box's own click handling: the command may do anything next.
    connect(
        box, &QDialog::finished, this, [wait] { wait->resume(); }, Qt::QueuedConnection);
    wait->cancel = [shown] {
        if (shown)
            shown->reject();
    };
    remember(wait);
    // Modal to nothing: a window blocked by a modal box ignores the desktop's close, and the program must
    // end in order when told to, box or no box. The commands wait for the answer all the same.
    box->setWindowModality(Qt::NonModal);
    box->show();
    box->raise();
    box->activateWindow();
    {
        const UserWait user([this](int delta) { setUserWaits(delta); });
        Awaiting awaiting{wait};
        co_await awaiting;
    }
    checkEnding();
    QAbstractButton* clicked = shown ? shown->clickedButton() : nullptr;
    co_return clicked ? shown->buttonRole(clicked) : QMessageBox::RejectRole;
}

Task<int> Commands::showDialog(QPointer<QDialog> dialog, bool modal)
{
    checkEnding();
    struct Shown {
        bool finished = false;
        int result = QDialog::Rejected;
        std::shared_ptr<detail::Wait> wait;
    };
    const auto shown = std::make_shared<Shown>();
    const auto closed = [shown](int result) {
        if (shown->finished)
            return;
        shown->finished = true;
        shown->result = result;
        if (shown->wait)
            shown->wait->resume();
    };
    connect(dialog, &QDialog::finished, this, closed, Qt::QueuedConnection);
    // A dialog destroyed unanswered (its window went) counts as cancelled.
    connect(
        dialog, &QObject::destroyed, this, [closed] { closed(QDialog::Rejected); }, Qt::QueuedConnection);
    if (modal) {
        dialog->open();
    } else {
        dialog->show();
        dialog->raise();
        dialog->activateWindow();
    }
    // The dialog's own commands (a pick in the port dialog, a batch run) run while it is open, as they did
    // inside its modal loop.
    for (;;) {
        co_await letWaitingRun();
        if (shown->finished)
            break;
        shown->wait = std::make_shared<detail::Wait>();
        shown->wait->wake = [raw = shown->wait.get()] { raw->resume(); };
        shown->wait->cancel = [dialog] {
            if (dialog)
                dialog->reject();
        };
        remember(shown->wait);
        const UserWait user([this](int delta) { setUserWaits(delta); });
        Awaiting awaiting{shown->wait};
        co_await awaiting;
        shown->wait.reset();
        checkEnding();
    }
    co_return shown->result;
}

Task<> Commands::report(QString text, QWidget* parent)
{
    // Over a modal window (the batch window, the port dialog) a box that belonged to the main window would
    // be blocked by it: it belongs to the window in front.
    if (!parent)
        parent = QApplication::activeModalWidget() ? QApplication::activeModalWidget() : window_.data();
    auto* box =
        new QMessageBox(QMessageBox::Warning, QStringLiteral("KRM59340"), text, QMessageBox::Ok, parent);
    co_await ask(box);
}

void Commands::describe(const QString& what, int transactions)
{
    what_ = what;
    total_ = transactions;
    startCount_ = bus_.engine().transactions();
}

void Commands::tick()
{
    if (!working_ || since_.elapsed() < kQuietMs)
        return;
    shown_ = true;
    emit progressed(what_, static_cast<int>(bus_.engine().transactions() - startCount_), total_);
}

void Commands::setUserWaits(int delta)
{
    userWaits_ += delta;
    const bool working = running_ > 0 && userWaits_ == 0;
    if (working == working_)
        return;
    working_ = working;
    if (!working && shown_) {
        shown_ = false;
        emit progressed({}, 0, 0);
    }
    emit workingChanged(working);
}

void Commands::end(std::function<void()> ended)
{
    if (ending_)
        return;
    ending_ = true;
    ended_ = std::move(ended);
    queue_.clear();
    gathered_ = {};
    bus_.engine().interrupter().request();
    const std::vector<std::weak_ptr<detail::Wait>> waits = std::exchange(waits_, {});
    for (const auto& weak : waits)
        if (const auto wait = weak.lock(); wait && wait->cancel)
            wait->cancel();
    if (posted_)
        QMetaObject::invokeMethod(
            this, [wait = posted_] { wait->resume(); }, Qt::QueuedConnection);
}

void Commands::finishEnding()
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (ended_)
                ended_();
        },
        Qt::QueuedConnection);
}

} // namespace ui
