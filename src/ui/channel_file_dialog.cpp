// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/channel_file_dialog.h"

#include "files/folder_listing.h"
#include "files/names.h"
#include "ui/widgets.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>

#include <unistd.h>

namespace ui {

namespace {

constexpr int kClientWidth = 7200;
constexpr int kClientHeight = 5400;
constexpr int kNameRole = Qt::UserRole;       // the raw name
constexpr int kFolderRole = Qt::UserRole + 1; // whether the entry is a folder

} // namespace

ChannelFileDialog::ChannelFileDialog(const QByteArray& folder, QWidget* parent, Mode mode)
    : QDialog(parent), mode_(mode)
{
    setUpWindow(this, QStringLiteral("dlgChannelFile"),
                mode == Mode::Save ? QStringLiteral("Save to File") : QStringLiteral("Load From File"),
                kClientWidth, kClientHeight);
    auto* grid = new QGridLayout(this);
    where_ = new QLabel(this);
    where_->setObjectName(QStringLiteral("lblFolder"));
    entries_ = new QListWidget(this);
    entries_->setObjectName(QStringLiteral("lstEntries"));
    name_ = new QLineEdit(this);
    name_->setObjectName(QStringLiteral("txtName"));
    types_ = new QComboBox(this);
    types_->setObjectName(QStringLiteral("cboTypes"));
    types_->addItems({QStringLiteral("Csv Files (*.csv)"), QStringLiteral("All Files (*.*)")});
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)
        ->setText(mode == Mode::Save ? QStringLiteral("Save") : QStringLiteral("Open"));
    grid->addWidget(new QLabel(QStringLiteral("Look in:"), this), 0, 0);
    grid->addWidget(where_, 0, 1);
    grid->addWidget(entries_, 1, 0, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("File name:"), this), 2, 0);
    grid->addWidget(name_, 2, 1);
    grid->addWidget(new QLabel(QStringLiteral("Files of type:"), this), 3, 0);
    grid->addWidget(types_, 3, 1);
    grid->addWidget(buttons, 4, 0, 1, 2);

    connect(buttons, &QDialogButtonBox::accepted, this, &ChannelFileDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &ChannelFileDialog::reject);
    connect(types_, &QComboBox::currentIndexChanged, this, &ChannelFileDialog::fill);
    connect(entries_, &QListWidget::itemActivated, this, &ChannelFileDialog::entryActivated);
    connect(entries_, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (item && !item->data(kFolderRole).toBool())
            name_->setText(item->text());
    });

    setFolder(files::isFolder(folder) ? folder : QByteArrayLiteral("."));
    name_->setFocus();
}

void ChannelFileDialog::setFolder(const QByteArray& folder)
{
    folder_ = files::absolutePath(folder);
    where_->setText(files::shown(folder_));
    fill();
}

void ChannelFileDialog::fill()
{
    entries_->clear();
    const auto add = [this](const QString& text, const QByteArray& name, bool folder) {
        auto* item = new QListWidgetItem(
            style()->standardIcon(folder ? QStyle::SP_DirIcon : QStyle::SP_FileIcon), text, entries_);
        item->setData(kNameRole, name);
        item->setData(kFolderRole, folder);
    };
    if (folder_ != "/")
        add(QStringLiteral(".."), QByteArrayLiteral(".."), true);
    for (const files::Entry& e : files::listFolder(folder_, files::EntryKind::Folders))
        add(e.shown + u'/', e.name, true);
    const bool csvOnly = types_->currentIndex() == 0;
    for (const files::Entry& e : files::listFolder(folder_, files::EntryKind::Files)) {
        if (!csvOnly || e.name.toLower().endsWith(".csv"))
            add(e.shown, e.name, false);
    }
}

void ChannelFileDialog::entryActivated(QListWidgetItem* item)
{
    if (!item->data(kFolderRole).toBool()) {
        accept();
        return;
    }
    setFolder(files::joined(folder_, item->data(kNameRole).toByteArray()));
    name_->clear();
}

void ChannelFileDialog::accept()
{
    const QString typed = name_->text();
    if (typed.isEmpty())
        return;
    // The name of a listed file stands for its raw bytes; a typed one is taken as it is written.
    const QListWidgetItem* current = entries_->currentItem();
    QByteArray path;
    if (current && !current->data(kFolderRole).toBool() && current->text() == typed) {
        path = files::joined(folder_, current->data(kNameRole).toByteArray());
    } else {
        QByteArray raw = QFile::encodeName(typed);
        // A name without an extension is a new channel file while the Csv type is selected.
        const QByteArray last = raw.mid(raw.lastIndexOf('/') + 1);
        if (mode_ == Mode::Save && types_->currentIndex() == 0 && !last.isEmpty() && !last.contains('.') &&
            !files::isFolder(raw.startsWith('/') ? raw : files::joined(folder_, raw)))
            raw += ".csv";
        path = raw.startsWith('/') ? raw : files::joined(folder_, raw);
    }
    if (files::isFolder(path)) {
        setFolder(path);
        name_->clear();
        return;
    }
    if (mode_ == Mode::Save && ::access(path.constData(), F_OK) == 0) {
        askToReplace(path);
        return;
    }
    chosen_ = path;
    QDialog::accept();
}

void ChannelFileDialog::askToReplace(const QByteArray& path)
{
    // Modal to this dialog, and answered from the event loop: nothing waits inside accept() for it.
    auto* question = new QMessageBox(QMessageBox::Warning, windowTitle(),
                                     QStringLiteral("%1 already exists.\nDo you want to replace it?")
                                         .arg(files::shown(path.mid(path.lastIndexOf('/') + 1))),
                                     QMessageBox::Yes | QMessageBox::No, this);
    question->setAttribute(Qt::WA_DeleteOnClose);
    question->setDefaultButton(QMessageBox::No);
    connect(question, &QMessageBox::finished, this, [this, question, path] {
        if (question->clickedButton() != question->button(QMessageBox::Yes))
            return;
        chosen_ = path;
        QDialog::accept();
    });
    question->open();
}

} // namespace ui
