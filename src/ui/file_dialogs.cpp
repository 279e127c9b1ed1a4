// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/file_dialogs.h"

#include <QFileDialog>
#include <QRegularExpression>

namespace ui {

namespace {

// "csv" for "Csv Files (*.csv)"; "" for a filter of several patterns or one without a plain extension.
QString extensionOf(const QString& filter)
{
    static const QRegularExpression single(QStringLiteral(R"(\(\*\.(\w+)\)\s*$)"));
    const QRegularExpressionMatch match = single.match(filter);
    return match.hasMatch() ? match.captured(1) : QString();
}

void setUp(QFileDialog& dialog, QFileDialog::AcceptMode mode, const QString& initialDir,
           const QStringList& filters)
{
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(filters);
    if (!initialDir.isEmpty())
        dialog.setDirectory(initialDir);
    if (mode == QFileDialog::AcceptSave) {
        dialog.setDefaultSuffix(extensionOf(filters.value(0)));
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                         [&dialog](const QString& filter) { dialog.setDefaultSuffix(extensionOf(filter)); });
    }
}

} // namespace

void askFileToSave(QWidget* parent, const QString& initialDir, const QStringList& filters,
                   std::function<void(const QString&)> chosen)
{
    auto* dialog = new QFileDialog(parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    setUp(*dialog, QFileDialog::AcceptSave, initialDir, filters);
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog, std::move(chosen));
    dialog->open();
}

} // namespace ui
