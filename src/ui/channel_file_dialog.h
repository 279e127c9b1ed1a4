// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QByteArray>
#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;

namespace ui {

// The dialog both file commands open: the folders and files of one folder, a name box and the file types.
// Qt's own file dialog leaves out every name that is not UTF-8 (Qt 6 could not open it by the decoded
// name), so this one lists the folder itself and keeps each name as the file system has it. To save, its
// button says so, a name typed without an extension gets ".csv" while the Csv type is selected, and
// replacing an existing file is asked first.
class ChannelFileDialog : public QDialog {
    Q_OBJECT
public:
    enum class Mode { Open, Save };

    // Opens in folder, or in the working folder when that is no folder.
    ChannelFileDialog(const QByteArray& folder, QWidget* parent, Mode mode = Mode::Open);

    Mode mode() const { return mode_; }

    // The raw path picked or typed, once accepted.
    const QByteArray& chosen() const { return chosen_; }
    const QByteArray& folder() const { return folder_; }
    void setFolder(const QByteArray& folder);

    QListWidget* entryList() const { return entries_; }
    QLineEdit* nameBox() const { return name_; }
    QComboBox* typeBox() const { return types_; }

    // Takes the name in the box: a folder is entered, anything else is the choice.
    void accept() override;

private:
    void fill();
    void entryActivated(QListWidgetItem* item);

    // A save over an existing file asks first, with No as the answer a stray key gives; Yes takes it.
    void askToReplace(const QByteArray& path);

    Mode mode_;
    QByteArray folder_;
    QByteArray chosen_;
    QLabel* where_ = nullptr;
    QListWidget* entries_ = nullptr;
    QLineEdit* name_ = nullptr;
    QComboBox* types_ = nullptr;
};

} // namespace ui
