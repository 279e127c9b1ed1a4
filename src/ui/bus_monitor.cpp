// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/bus_monitor.h"

#include "app/bench.h"
#include "files/regular_file.h"
#include "ui/bus_log.h"
#include "ui/file_dialogs.h"
#include "ui/host.h"
#include "ui/widgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QVBoxLayout>

namespace ui {

namespace {

constexpr bus::TransactionKind kKinds[] = {
    bus::TransactionKind::PointerWrite, bus::TransactionKind::Read,        bus::TransactionKind::DacWrite,
    bus::TransactionKind::OtpWrite,     bus::TransactionKind::GeneralCall, bus::TransactionKind::LineCheck,
    bus::TransactionKind::Probe,
};

// The rows of the kinds whose boxes are ticked.
class KindFilter : public QSortFilterProxyModel {
public:
    KindFilter(const BusLog& log, QObject* parent) : QSortFilterProxyModel(parent), log_(log) {}

    void show(bus::TransactionKind kind, bool shown)
    {
        const unsigned bit = 1u << static_cast<unsigned>(kind);
        shown_ = shown ? shown_ | bit : shown_ & ~bit;
        invalidateRowsFilter();
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex&) const override
    {
        return (shown_ >> static_cast<unsigned>(log_.kind(row)) & 1u) != 0;
    }

private:
    const BusLog& log_;
    unsigned shown_ = ~0u;
};

} // namespace

BusMonitor::BusMonitor(Host& host) : QWidget(nullptr, Qt::Window)
{
    setObjectName(QStringLiteral("frmBusMonitor"));
    setWindowTitle(QStringLiteral("Bus Monitor"));
    setAttribute(Qt::WA_QuitOnClose, false);
    QFont small = font();
    small.setPointSize(8);
    setFont(small);

    log_ = new BusLog(host.bench().engine(), this);
    auto* filter = new KindFilter(*log_, this);
    shown_ = filter;
    shown_->setSourceModel(log_);

    auto* kinds = new QGridLayout;
    int k = 0;
    for (const bus::TransactionKind kind : kKinds) {
        auto* box = new QCheckBox(BusLog::kindName(kind), this);
        box->setChecked(true);
        connect(box, &QCheckBox::toggled, this, [this, filter, kind](bool on) {
            filter->show(kind, on);
            showCount();
        });
        kinds->addWidget(box, k / 4, k % 4);
        kindBoxes_[kind] = box;
        ++k;
    }

    view_ = new QTableView(this);
    view_->setObjectName(QStringLiteral("Transactions"));
    view_->setModel(shown_);
    view_->verticalHeader()->hide();
    view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 4);
    view_->horizontalHeader()->setStretchLastSection(true);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setWordWrap(false);
    const QFontMetrics metrics = view_->fontMetrics();
    const auto widthOf = [&metrics](const char* sample) {
        return metrics.horizontalAdvance(QString::fromLatin1(sample)) + 14;
    };
    view_->setColumnWidth(BusLog::Time, widthOf("23:59:59.999"));
    view_->setColumnWidth(BusLog::Kind, widthOf("presence probe"));
    view_->setColumnWidth(BusLog::Address, widthOf("0x74 W"));
    view_->setColumnWidth(BusLog::Bytes, widthOf("E8 13 83 FF"));
    view_->setColumnWidth(BusLog::Word, widthOf("FFFF"));
    view_->setColumnWidth(BusLog::Acknowledge, widthOf("Acknowledge"));
    // New rows are kept in view while the view is at the end; a user reading further up stays there.
    connect(shown_, &QAbstractItemModel::rowsAboutToBeInserted, this, [this] {
        const QScrollBar* bar = view_->verticalScrollBar();
        follow_ = bar->value() == bar->maximum();
    });
    connect(shown_, &QAbstractItemModel::rowsInserted, this, [this] {
        if (follow_)
            view_->scrollToBottom();
        showCount();
    });
    connect(shown_, &QAbstractItemModel::modelReset, this, &BusMonitor::showCount);

    auto* copy = new QPushButton(QStringLiteral("Copy"), this);
    copy->setObjectName(QStringLiteral("Copy"));
    copy->setToolTip(QStringLiteral("Copies the selected rows, or every row shown when none is selected"));
    connect(copy, &QPushButton::clicked, this, [this] {
        const bool selected = view_->selectionModel()->hasSelection();
        QApplication::clipboard()->setText(shownText(selected));
    });
    auto* save = new QPushButton(QStringLiteral("Save..."), this);
    save->setObjectName(QStringLiteral("Save"));
    connect(save, &QPushButton::clicked, this, [this] {
        askFileToSave(this, {}, {QStringLiteral("Text Files (*.txt)"), QStringLiteral("All Files (*.*)")},
                      [this](const QString& path) { saveText(path); });
    });
    auto* clear = new QPushButton(QStringLiteral("Clear"), this);
    clear->setObjectName(QStringLiteral("Clear"));
    connect(clear, &QPushButton::clicked, this, [this] {
        saveNote_.clear();
        log_->clear();
    });
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("Status"));
    status_->setWordWrap(true);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(copy);
    buttons->addWidget(save);
    buttons->addWidget(clear);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(kinds);
    layout->addWidget(view_, 1);
    layout->addLayout(buttons);
    layout->addWidget(status_);

    const QRect area = host.hostWindow()->screen()->availableGeometry();
    resize(QSize(twipsToPixels(this, 11400), twipsToPixels(this, 6300)).boundedTo(area.size() * 9 / 10));
    placeBeside(this, host.hostWindow());
    showCount();
}

void BusMonitor::showCount()
{
    const QLocale locale;
    QString text = QStringLiteral("%1 transactions since opened or cleared; the last %2 kept, %3 shown.")
                       .arg(locale.toString(log_->seen()), locale.toString(BusLog::kKept),
                            locale.toString(shown_->rowCount()));
    if (!saveNote_.isEmpty())
        text += QLatin1Char(' ') + saveNote_;
    status_->setText(text);
}

QString BusMonitor::shownText(bool selectedOnly) const
{
    QStringList lines;
    QStringList header;
    for (int column = 0; column < BusLog::kColumns; ++column)
        header << log_->headerData(column, Qt::Horizontal).toString();
    lines << header.join(QLatin1Char('\t'));
    const QItemSelectionModel* selection = view_->selectionModel();
    for (int row = 0; row < shown_->rowCount(); ++row) {
        if (selectedOnly && !selection->isRowSelected(row, {}))
            continue;
        QStringList cells;
        for (int column = 0; column < BusLog::kColumns; ++column)
            cells << shown_->index(row, column).data().toString();
        lines << cells.join(QLatin1Char('\t'));
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void BusMonitor::saveText(const QString& path)
{
    const auto failure = files::replaceContents(QFile::encodeName(path), shownText(false).toUtf8());
    saveNote_ = failure ? QStringLiteral("Could not be saved to %1: %2.").arg(path, *failure)
                        : QStringLiteral("Saved to %1.").arg(path);
    showCount();
}

void BusMonitor::closeEvent(QCloseEvent* event)
{
    // Closed, the monitor no longer watches: the window itself goes only once the event loop runs again.
    log_->detach();
    event->accept();
}

} // namespace ui
