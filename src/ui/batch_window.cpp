// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/batch_window.h"

#include "app/bench.h"
#include "files/folder_listing.h"
#include "files/names.h"
#include "files/text_error.h"
#include "model/channel_file.h"
#include "model/numbers.h"
#include "model/wait.h"
#include "ui/host.h"
#include "ui/widgets.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalBlocker>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <array>
#include <cmath>

namespace ui {

namespace {

constexpr int kClientWidth = 4500;
constexpr int kClientHeight = 4410;
// Waits are cut into slices this long so that closing the window ends a run within one slice instead of
// after the whole delay; with nothing selected a run also idles in these slices rather than spinning.
constexpr double kSliceSeconds = 0.05;
constexpr int kPathRole = Qt::UserRole; // the raw path of a Dir1 entry, the raw name of a File1 entry
constexpr int kEventsRan = 0x4b524d;    // no program exit code

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
    Label3_ = place(new QLabel(this), QStringLiteral("Label3"), 240, 3720, 3975, 375);
    QFont progress = font();
    progress.setPointSizeF(13.5);
    progress.setBold(true);
    Label3_->setFont(progress);
    for (QPushButton* b : {Command1_, Command2_, Command3_, Command4_})
        b->setAutoDefault(false);

    connect(Dir1_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
        const QByteArray path = item->data(0, kPathRole).toByteArray();
        host_.handle([this, path] { setDirPath(path); }, Host::Cursor::Normal);
    });
    const auto clicked = [this] { list_clicked = 1; };
    connect(File1_, &QListWidget::clicked, this, clicked);
    connect(File1_, &QListWidget::itemSelectionChanged, this, clicked);
    connect(Command1_, &QPushButton::clicked, this, [this] {
        // The run keeps the window usable between files: the busy cursor shows only while a file is applied.
        host_.handle([this] { runBatch(); }, Host::Cursor::Normal);
    });
    connect(Command2_, &QPushButton::clicked, this, [this] { batch_stop = 1; });
    connect(Command3_, &QPushButton::clicked, this, [this] { host_.handle([this] { singleStep(+1); }); });
    connect(Command4_, &QPushButton::clicked, this, [this] { host_.handle([this] { singleStep(-1); }); });

    load();
}

QPushButton* BatchWindow::commandButton(int n) const
{
    const std::array<QPushButton*, 4> buttons{Command1_, Command2_, Command3_, Command4_};
    return buttons.at(static_cast<std::size_t>(n - 1));
}

void BatchWindow::load()
{
    Text1_->setText(QStringLiteral("1"));
    bench_.reloadSettings();
    const QByteArray stored = QFile::encodeName(bench_.settings.default_dir);
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

void BatchWindow::applyEntry(int entry)
{
    const QByteArray path = fullPath(entry);
    BusyCursor busy;
    try {
        model::apply_channel_file(path, bench_.channels);
        bench_.link.TxBuffer[1] = 1;
        bench_.link.SendTxBytes(1);
        host_.afterCommand();
    } catch (const serial::PortError& e) {
        throw files::TextError(QStringLiteral("The serial port failed while applying %1.\n\n%2")
                                   .arg(files::shown(path), e.text()));
    }
}

void BatchWindow::runBatch()
{
    batch_stop = 0;
    double delay = model::leading_number(Text1_->text());
    if (!(delay > 0))
        delay = 0;
    try {
        while (batch_stop != 1) {
            bool applied = false;
            for (int i = 0; i < File1_->count(); ++i) {
                if (!isSelected(i))
                    continue;
                applyEntry(i);
                applied = true;
                Label3_->setText(File1_->item(i)->text());
                if (!pause(delay) || !letEventsRun() || batch_stop == 1)
                    return;
            }
            if (!(applied ? letEventsRun() : pause(kSliceSeconds)))
                return;
        }
    } catch (...) {
        // A run nested inside this one (or this one inside another) must not try the same file again.
        batch_stop = 1;
        throw;
    }
}

bool BatchWindow::pause(double seconds)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (closing_)
            return false;
        const double left = seconds - static_cast<double>(clock.nsecsElapsed()) / 1e9;
        if (left <= 0)
            return true;
        model::wait_seconds(std::min(left, kSliceSeconds));
        if (!letEventsRun())
            return false;
    }
}

bool BatchWindow::letEventsRun()
{
    // QCoreApplication::exit() ends this loop with the program's exit code, and every loop started after it
    // returns -1 at once: anything but our own code means the program is ending, and a run that went on
    // would spin.
    QEventLoop loop;
    QTimer::singleShot(0, &loop, [&loop] { loop.exit(kEventsRan); });
    return loop.exec() == kEventsRan && !closing_;
}

void BatchWindow::singleStep(int direction)
{
    // Without a selected entry the search for the next one would never end.
    if (!anySelected())
        return;
    advance(direction);
    while (!isSelected(step_pos))
        advance(direction);
    if (list_clicked == 1) {
        step_pos = 0;
        while (!isSelected(step_pos))
            advance(+1);
        list_clicked = 0;
    }
    applyEntry(step_pos);
    Label3_->setText(File1_->item(step_pos)->text() + QString::number(step_pos));
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
    // A run on the stack below sees these after its current wait slice and unwinds; the modal loop
    // returns only then, so the window outlives it.
    closing_ = true;
    batch_stop = 1;
    QDialog::done(result);
}

} // namespace ui
