// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/batch_window.h"

#include "app/bench.h"
#include "files/folder_listing.h"
#include "files/names.h"
#include "files/text_error.h"
#include "model/channel_file.h"
#include "model/numbers.h"
#include "ui/commands.h"
#include "ui/file_dialogs.h"
#include "ui/host.h"
#include "ui/run_log.h"
#include "ui/screen_fit.h"
#include "ui/widgets.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTableView>
#include <QTreeWidget>

#include <algorithm>
#include <array>
#include <cmath>

namespace ui {

namespace {

constexpr int kClientWidth = 4500;
constexpr int kClientHeight = 8520;
// With nothing selected a run idles in pauses this long rather than spinning.
constexpr double kSliceSeconds = 0.05;
constexpr int kPathRole = Qt::UserRole; // the raw path of a Dir1 entry, the raw name of a File1 entry

template <typename W> W* place(W* widget, const QString& name, int left, int top, int width, int height)
{
    widget->setObjectName(name);
    placeInTwips(widget, left, top, width, height);
    return widget;
}

} // namespace

BatchWindow::BatchWindow(Host& host)
    : QDialog(host.hostWindow()), list_clicked(host.bench().list_clicked), host_(host), bench_(host.bench()),
      dirPath_(files::absolutePath("."))
{
    setUpWindow(this, QStringLiteral("frm_batch"), QStringLiteral("Run Batch"), kClientWidth, kClientHeight);

    Dir1_ = place(new QTreeWidget(this), QStringLiteral("Dir1"), 60, 210, 2055, 2115);
    Dir1_->setHeaderHidden(true);
    Dir1_->setRootIsDecorated(false);
    Dir1_->setItemsExpandable(false);
    Dir1_->setIndentation(twipsToPixels(this, 120));
    File1_ = place(new QListWidget(this), QStringLiteral("File1"), 2310, 240, 2055, 2040);
    File1_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    place(new QLabel(QStringLiteral("Delay"), this), QStringLiteral("Label1"), 2310, 2550, 705, 405);
    place(new QLabel(QStringLiteral("sec."), this), QStringLiteral("Label2"), 3960, 2550, 435, 345);
    Text1_ = place(new QLineEdit(this), QStringLiteral("Text1"), 2880, 2520, 1035, 345);
    Command1_ = place(new WrapButton(QStringLiteral("Run Batch"), this), QStringLiteral("Command1"), 120,
                      2430, 1965, 525);
    Command2_ = place(new WrapButton(QStringLiteral("Stop Batch"), this), QStringLiteral("Command2"), 150,
                      3030, 1935, 525);
    Command3_ = place(new WrapButton(QStringLiteral("Single Step Down"), this), QStringLiteral("Command3"),
                      2280, 3000, 975, 525);
    Command4_ = place(new WrapButton(QStringLiteral("Single Step Up"), this), QStringLiteral("Command4"),
                      3360, 3000, 975, 525);
    place(new QLabel(QStringLiteral("Cycles"), this), QStringLiteral("CyclesLabel"), 2310, 3690, 570, 345);
    cyclesBox_ = place(new QLineEdit(this), QStringLiteral("Cycles"), 2880, 3660, 1035, 345);
    cyclesBox_->setPlaceholderText(QStringLiteral("until Stop"));
    cyclesBox_->setToolTip(
        QStringLiteral("How many times a run applies the selection; empty: until Stop Batch"));
    stateLabel_ = place(new QLabel(this), QStringLiteral("RunState"), 240, 4140, 4140, 300);
    Label3_ = place(new QLabel(this), QStringLiteral("Label3"), 240, 4440, 4140, 660);
    QFont progress = font();
    progress.setPointSizeF(11);
    progress.setBold(true);
    Label3_->setFont(progress);
    Label3_->setWordWrap(true);
    Label3_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    runLog_ = &host_.runLog();
    logView_ = place(new QTableView(this), QStringLiteral("RunLog"), 60, 5160, 4380, 2280);
    logView_->setModel(runLog_);
    logView_->verticalHeader()->hide();
    logView_->verticalHeader()->setDefaultSectionSize(logView_->fontMetrics().height() + 4);
    logView_->horizontalHeader()->setStretchLastSection(true);
    logView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    logView_->setWordWrap(false);
    // A failure's text is cut at the window's edge; its tooltip holds all of it.
    logView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    const QFontMetrics metrics = logView_->fontMetrics();
    logView_->setColumnWidth(RunLog::Time, metrics.horizontalAdvance(QStringLiteral("23:59:59.999")) + 12);
    logView_->setColumnWidth(RunLog::Cycle, metrics.horizontalAdvance(QStringLiteral("Cycle")) + 12);
    logView_->setColumnWidth(RunLog::File, twipsToPixels(this, 1260));
    // A new line is kept in view while the view is at the end; a user reading further up stays there.
    connect(runLog_, &RunLog::rowsAboutToBeInserted, this, [this] {
        QScrollBar* bar = logView_->verticalScrollBar();
        followLog_ = bar->value() == bar->maximum();
    });
    connect(runLog_, &RunLog::rowsInserted, this, [this] {
        if (followLog_)
            logView_->scrollToBottom();
    });
    saveLogButton_ = place(new QPushButton(QStringLiteral("Save Log..."), this), QStringLiteral("SaveLog"),
                           60, 7530, 1275, 405);
    auto* clearLog = place(new QPushButton(QStringLiteral("Clear Log"), this), QStringLiteral("ClearLog"),
                           1440, 7530, 1275, 405);
    logNote_ = place(new QLabel(this), QStringLiteral("LogNote"), 60, 7980, 4380, 480);
    logNote_->setWordWrap(true);
    logNote_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    for (QPushButton* b : {Command1_, Command2_, Command3_, Command4_, saveLogButton_, clearLog})
        b->setAutoDefault(false);

    connect(Dir1_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
        const QByteArray path = item->data(0, kPathRole).toByteArray();
        post([this, path]() -> Task<> {
            setDirPath(path);
            co_return;
        });
    });
    const auto clicked = [this] { list_clicked = 1; };
    connect(File1_, &QListWidget::clicked, this, clicked);
    connect(File1_, &QListWidget::itemSelectionChanged, this, clicked);
    connect(Command1_, &QPushButton::clicked, this, [this] { post([this] { return runBatch(); }); });
    // Not a command: a stop must not wait for the file being applied.
    connect(Command2_, &QPushButton::clicked, this, &BatchWindow::stopBatch);
    connect(Command3_, &QPushButton::clicked, this, [this] { post([this] { return singleStep(+1); }); });
    connect(Command4_, &QPushButton::clicked, this, [this] { post([this] { return singleStep(-1); }); });
    connect(saveLogButton_, &QPushButton::clicked, this, [this] {
        askFileToSave(this, dirPath_,
                      {QStringLiteral("Csv Files (*.csv)"), QStringLiteral("All Files (*.*)")},
                      [this](const QString& path) { saveLog(path); });
    });
    connect(clearLog, &QPushButton::clicked, this, [this] {
        runLog_->clear();
        logNote_->clear();
    });

    ScreenFit::apply(this);
}

void BatchWindow::post(std::function<Task<>()> job)
{
    host_.commands().post([window = QPointer<BatchWindow>(this), job = std::move(job)]() -> Task<> {
        if (window && !window->closing_)
            co_await job();
    });
}

QPushButton* BatchWindow::commandButton(int n) const
{
    const std::array<QPushButton*, 4> buttons{Command1_, Command2_, Command3_, Command4_};
    return buttons.at(static_cast<std::size_t>(n - 1));
}

Task<> BatchWindow::load()
{
    Text1_->setText(QStringLiteral("1"));
    // A different port or rate is opened as a pick in COM Setting would.
    if (bench_.reloadSettings())
        co_await host_.openSelectedPort();
    const QByteArray stored = QFile::encodeName(bench_.settings().default_dir);
    // A remembered directory that has gone since keeps the list where it was; File1 follows either way.
    setDirPath(!stored.isEmpty() && files::isFolder(stored) ? stored : dirPath_);
    step_pos = 0;
}

void BatchWindow::setDirPath(const QByteArray& path)
{
    dirPath_ = files::absolutePath(path);
    Dir1_->clear();
    // The chain of parents down to the current directory, each nested in the one before, then the
    // directories below it: the current directory stays in view with the way up and the ways down.
    QTreeWidgetItem* parent = nullptr;
    const QIcon open = style()->standardIcon(QStyle::SP_DirOpenIcon);
    QByteArray dir;
    for (const QByteArray& part : dirPath_.split('/')) {
        if (!dir.isEmpty() && part.isEmpty())
            continue;
        dir = part.isEmpty() ? QByteArrayLiteral("/") : files::joined(dir, part);
        const QString name = part.isEmpty() ? QStringLiteral("/") : files::shown(part);
        auto* item = parent ? new QTreeWidgetItem(parent, {name}) : new QTreeWidgetItem(Dir1_, {name});
        item->setIcon(0, open);
        item->setData(0, kPathRole, dir);
        parent = item;
    }
    const QIcon closed = style()->standardIcon(QStyle::SP_DirClosedIcon);
    for (const files::Entry& sub : files::listFolder(dirPath_, files::EntryKind::Folders)) {
        auto* item = new QTreeWidgetItem(parent, {sub.shown});
        item->setIcon(0, closed);
        item->setData(0, kPathRole, files::joined(dirPath_, sub.name));
    }
    Dir1_->expandAll();
    Dir1_->setCurrentItem(parent);
    Dir1_->scrollToItem(parent);
    setFilePath(dirPath_);
}

void BatchWindow::setFilePath(const QByteArray& path)
{
    filePath_ = path;
    // Refilling is no click of the user's.
    const QSignalBlocker quiet(File1_);
    File1_->clear();
    for (const files::Entry& file : files::listFolder(path, files::EntryKind::Files)) {
        auto* item = new QListWidgetItem(file.shown, File1_);
        item->setData(kPathRole, file.name);
    }
}

bool BatchWindow::isSelected(int entry) const
{
    const QListWidgetItem* item = File1_->item(entry);
    return item && item->isSelected();
}

bool BatchWindow::anySelected() const
{
    return !File1_->selectedItems().isEmpty();
}

QByteArray BatchWindow::fullPath(int entry) const
{
    return files::joined(filePath_, File1_->item(entry)->data(kPathRole).toByteArray());
}

Task<> BatchWindow::applyEntry(int entry, qint64 cycle)
{
    const QByteArray path = fullPath(entry);
    const QString name = File1_->item(entry)->text();
    Commands& commands = host_.commands();
    // The log line is written once the outcome is known: its time is when the trigger block went out.
    QString failure;
    QDateTime sent;
    QString applied = QStringLiteral("applied");
    try {
        const QStringList warnings = model::apply_channel_file(path, bench_.channels());
        // What the chip got differs from the file: said on the file's own line.
        if (!warnings.isEmpty())
            applied += QStringLiteral(" (") + warnings.join(u' ').simplified() + u')';
        serial::SerialLink& link = bench_.link();
        link.TxBuffer[1] = 1;
        commands.send(engine::SendBlock{link.TxBlock(1)});
        const engine::Outcome flushed = co_await commands.attemptFlush();
        if (flushed.failure && flushed.failure->kind == engine::Failure::Kind::NoTransmitLine) {
            // The channels are what counts; the missing block is said once, under the log.
            if (!noTriggerLine_) {
                noTriggerLine_ = true;
                logNote_->setStyleSheet(QStringLiteral("color: #c62828;"));
                logNote_->setText(flushed.failure->reason + QStringLiteral(". The batch runs without it."));
            }
            runLog_->add(cycle, name, applied + QStringLiteral(", no trigger block"));
            co_return;
        }
        if (flushed.failure)
            throw BusFailed(*flushed.failure);
        sent = flushed.replies.back().sent;
    } catch (const ProgramEnding&) {
        throw;
    } catch (const BusFailed& e) {
        failure = e.failure().text();
        runLog_->add(cycle, name, QStringLiteral("failed: ") + failure.simplified());
        if (e.failure().kind != engine::Failure::Kind::Port)
            throw;
        throw files::TextError(
            QStringLiteral("The %1 failed while applying %2.\n\n%3: %4")
                .arg(e.failure().portKind(), files::shown(path), e.failure().operation, e.failure().reason));
    } catch (const std::exception& e) {
        runLog_->add(cycle, name, QStringLiteral("failed: ") + Commands::describeFailure(e).simplified());
        throw;
    }
    runLog_->add(cycle, name, applied, sent);
}

std::optional<qint64> BatchWindow::cycles()
{
    const QString text = cyclesBox_->text().trimmed();
    if (text.isEmpty())
        return 0;
    static const QRegularExpression digits(QStringLiteral("^\\+?\\d+$"));
    bool fits = false;
    const qint64 count = text.toLongLong(&fits);
    QString why;
    if (!digits.match(text).hasMatch())
        why = QStringLiteral("the cycle count \"%1\" is not a whole number");
    else if (!fits)
        why = QStringLiteral("the cycle count \"%1\" is too large");
    else if (count == 0)
        why = QStringLiteral("a cycle count of %1 would apply nothing");
    if (why.isEmpty())
        return count;
    showState(State::Refused,
              QStringLiteral("Not started: %1. Give a whole number of at least 1, or leave the "
                             "box empty to run until Stop Batch.")
                  .arg(why.arg(text.left(20))));
    return std::nullopt;
}

void BatchWindow::showState(State state, const QString& text)
{
    // In the order of State: a run going on is green, one that failed or was refused red.
    static const char* const colours[] = {"#2e7d32", "", "", "#c62828", "#c62828"};
    const QString colour = QString::fromLatin1(colours[static_cast<int>(state)]);
    stateLabel_->setStyleSheet(colour.isEmpty() ? QString() : QStringLiteral("color: %1;").arg(colour));
    stateLabel_->setText(text);
}

Task<> BatchWindow::runBatch()
{
    const std::optional<qint64> wanted = cycles();
    if (!wanted)
        co_return;
    batch_stop = 0;
    double delay = model::leading_number(Text1_->text());
    if (!(delay > 0))
        delay = 0;
    const auto cyclesText = [](qint64 n) {
        return n == 1 ? QStringLiteral("1 cycle") : QStringLiteral("%1 cycles").arg(n);
    };
    const QString running = *wanted > 0 ? QStringLiteral("Running ") + cyclesText(*wanted)
                                        : QStringLiteral("Running until Stop Batch");
    qint64 cycle = 1;
    const auto stopped = [&] {
        showState(State::Stopped, QStringLiteral("Stopped by Stop Batch in cycle %1").arg(cycle));
    };
    try {
        showState(State::Running, running);
        while (batch_stop != 1) {
            bool applied = false;
            for (int i = 0; i < File1_->count(); ++i) {
                if (!isSelected(i))
                    continue;
                int position = 0;
                int selected = 0;
                for (int j = 0; j < File1_->count(); ++j) {
                    selected += isSelected(j) ? 1 : 0;
                    position += isSelected(j) && j <= i ? 1 : 0;
                }
                // A run nested in this one may have ended and said so meanwhile.
                showState(State::Running, running);
                Label3_->setText(QStringLiteral("%1 - file %2 of %3, cycle %4")
                                     .arg(File1_->item(i)->text())
                                     .arg(position)
                                     .arg(selected)
                                     .arg(cycle));
                applying_ = File1_->item(i)->text();
                co_await applyEntry(i, cycle);
                applying_.clear();
                applied = true;
                const bool paused = co_await pause(delay);
                if (!paused)
                    co_return;
                const bool ran = co_await letEventsRun();
                if (!ran)
                    co_return;
                if (batch_stop == 1) {
                    stopped();
                    co_return;
                }
            }
            // A pass over an empty selection is no cycle: the run waits for one.
            if (!applied) {
                const bool paused = co_await pause(kSliceSeconds);
                if (!paused)
                    co_return;
                continue;
            }
            if (cycle == *wanted) {
                showState(State::Done, QStringLiteral("Done: ") + cyclesText(cycle));
                co_return;
            }
            ++cycle;
            const bool ran = co_await letEventsRun();
            if (!ran)
                co_return;
        }
        stopped();
    } catch (...) {
        applying_.clear();
        // A run nested inside this one (or this one inside another) must not try the same file again.
        batch_stop = 1;
        showState(State::Failed, QStringLiteral("Ended by an error in cycle %1").arg(cycle));
        throw;
    }
}

void BatchWindow::stopBatch()
{
    batch_stop = 1;
    // The file under way is applied to its end and its trigger block sent; the delay after it ends now.
    if (!applying_.isEmpty())
        showState(State::Running, QStringLiteral("Stopping after %1").arg(applying_));
    host_.commands().wake();
}

void BatchWindow::saveLog(const QString& path)
{
    const std::optional<QString> failure = runLog_->save(path);
    logNote_->setStyleSheet(failure ? QStringLiteral("color: #c62828;") : QString());
    logNote_->setText(
        failure ? *failure
                : QStringLiteral("Run log saved to %1 (%2 lines).").arg(path).arg(runLog_->rowCount()));
}

Task<bool> BatchWindow::pause(double seconds)
{
    Commands& commands = host_.commands();
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (closing_)
            co_return false;
        if (batch_stop == 1)
            co_return true;
        const double left = seconds - static_cast<double>(clock.nsecsElapsed()) / 1e9;
        if (!(left > 0))
            co_return true;
        co_await commands.pause(left);
        const bool ran = co_await letEventsRun();
        if (!ran)
            co_return false;
    }
}

Task<bool> BatchWindow::letEventsRun()
{
    co_await host_.commands().letWaitingRun();
    co_return !closing_;
}

Task<> BatchWindow::singleStep(int direction)
{
    // Without a selected entry the search for the next one would never end.
    if (!anySelected())
        co_return;
    advance(direction);
    while (!isSelected(step_pos))
        advance(direction);
    if (list_clicked == 1) {
        step_pos = 0;
        while (!isSelected(step_pos))
            advance(+1);
        list_clicked = 0;
    }
    const int applied = step_pos;
    co_await applyEntry(applied, 0);
    Label3_->setText(File1_->item(applied)->text() + QString::number(applied));
}

void BatchWindow::advance(int direction)
{
    const int count = File1_->count();
    if (direction > 0)
        step_pos = step_pos < count - 1 ? step_pos + 1 : 0;
    else
        step_pos = step_pos > 0 ? step_pos - 1 : count - 1;
}

void BatchWindow::done(int result)
{
    // A run under way sees these at its next wait and ends; the command that showed the window keeps it
    // until then.
    closing_ = true;
    batch_stop = 1;
    host_.commands().wake();
    QDialog::done(result);
}

} // namespace ui
