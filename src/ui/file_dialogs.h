// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QFileDialog;
class QWidget;

namespace ui {

// The program's file dialogs are Qt's own rather than the desktop's: only there does the extension a typed
// name gets follow the filter the user selects, and both kinds look alike. Filters come as Qt writes them
// ("Csv Files (*.csv)"); initialDir may be empty.

// Asks for a file to write, in a dialog that says "Save": replacing an existing file is asked first, and a
// name typed without an extension gets the one of the selected filter ("*.csv" gives ".csv", "*.*" none).
// It does not wait for the answer: chosen is called with the name once the user accepts, so that a batch
// run goes on while the dialog is open. The dialog is modal to parent's window only.
void askFileToSave(QWidget* parent, const QString& initialDir, const QStringList& filters,
                   std::function<void(const QString&)> chosen);

} // namespace ui
