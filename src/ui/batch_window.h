// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTreeWidget;

namespace app {
class Bench;
}

namespace ui {

class Host;

// frm_batch: applies the selected channel files of a directory to the chip, continuously with a delay or
// one per button press, and sends the trigger block after each file. A continuous run lives inside its
// click handler and keeps the event loop going, so the other buttons (a second run included) work nested
// inside it.
class BatchWindow : public QDialog {
    Q_OBJECT
public:
    explicit BatchWindow(Host& host);

    // Dir1's path, raw bytes (names need not be UTF-8). Setting it is a directory change: File1 follows.
    const QByteArray& dirPath() const { return dirPath_; }
    void setDirPath(const QByteArray& path);
    const QByteArray& filePath() const { return filePath_; }

    QTreeWidget* dirList() const { return Dir1_; }
    QListWidget* fileList() const { return File1_; }
    QLineEdit* delayBox() const { return Text1_; }
    QLabel* progressLabel() const { return Label3_; }
    // Command1 .. Command4: Run Batch, Stop Batch, Single Step Down, Single Step Up.
    QPushButton* commandButton(int n) const;

    int batch_stop = 0;
    int step_pos = 0;
    // Kept across openings of the window, as it always was (it lives in the bench): a click in the list
    // before closing still sends the next step to the first selected entry after opening again.
    int& list_clicked;

protected:
    void done(int result) override;

private:
    void load();
    void setFilePath(const QByteArray& path);
    void runBatch();
    void singleStep(int direction);
    void advance(int direction);
    bool isSelected(int entry) const;
    bool anySelected() const;
    QByteArray fullPath(int entry) const;
    void applyEntry(int entry);
    // Both false when the run has to end at once: the window is closing or the program is quitting.
    bool pause(double seconds);
    bool letEventsRun();

    Host& host_;
    app::Bench& bench_;
    QByteArray dirPath_;
    QByteArray filePath_;
    bool closing_ = false;

    QTreeWidget* Dir1_ = nullptr;
    QListWidget* File1_ = nullptr;
    QLineEdit* Text1_ = nullptr;
    QLabel* Label3_ = nullptr;
    QPushButton* Command1_ = nullptr;
    QPushButton* Command2_ = nullptr;
    QPushButton* Command3_ = nullptr;
    QPushButton* Command4_ = nullptr;
};

} // namespace ui
