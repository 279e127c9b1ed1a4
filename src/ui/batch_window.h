// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "ui/task.h"

#include <QDialog>

#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTableView;
class QTreeWidget;

namespace app {
class Bench;
}

namespace ui {

class Host;
class RunLog;

// frm_batch: applies the selected channel files of a directory to the chip, continuously with a delay (for
// a number of cycles, or until stopped) or one per button press, and sends the trigger block after each file.
// A continuous run is a command whose delays and passes let the commands posted meanwhile run, so the other
// buttons (a second run included) work nested inside it; Stop Batch acts at once. The window says whether a
// run goes on and where it is, and logs every file applied.
class BatchWindow : public QDialog {
    Q_OBJECT
public:
    explicit BatchWindow(Host& host);

    // The window's load, before it is first shown: the delay box, the settings read again (a port or rate
    // that changed is opened), the remembered directory. Inside a command.
    Task<> load();

    // Dir1's path, raw bytes (names need not be UTF-8). Setting it is a directory change: File1 follows.
    const QByteArray& dirPath() const { return dirPath_; }
    void setDirPath(const QByteArray& path);
    const QByteArray& filePath() const { return filePath_; }

    QTreeWidget* dirList() const { return Dir1_; }
    QListWidget* fileList() const { return File1_; }
    QLineEdit* delayBox() const { return Text1_; }
    // Cycles of a run; empty runs until Stop Batch.
    QLineEdit* cyclesBox() const { return cyclesBox_; }
    // Whether a run goes on, and how the last one ended.
    QLabel* stateLabel() const { return stateLabel_; }
    // The file being applied, its place in the selection and the cycle.
    QLabel* progressLabel() const { return Label3_; }
    // Command1 .. Command4: Run Batch, Stop Batch, Single Step Down, Single Step Up.
    QPushButton* commandButton(int n) const;
    RunLog& runLog() const { return *runLog_; }
    QPushButton* saveLogButton() const { return saveLogButton_; }
    // Saves the run log as CSV; a failure is said in the window, and a run goes on.
    void saveLog(const QString& path);
    QLabel* logNote() const { return logNote_; }

    int batch_stop = 0;
    int step_pos = 0;
    // Kept across openings of the window, as it always was (it lives in the bench): a click in the list
    // before closing still sends the next step to the first selected entry after opening again.
    int& list_clicked;

protected:
    void done(int result) override;

private:
    void setFilePath(const QByteArray& path);
    Task<> runBatch();
    Task<> singleStep(int direction);
    void stopBatch();
    // Posts work of this window as a command; it does nothing once the window has gone.
    void post(std::function<Task<>()> job);
    void advance(int direction);
    bool isSelected(int entry) const;
    bool anySelected() const;
    QByteArray fullPath(int entry) const;
    // Applies the file, sends the trigger block and logs it under the cycle (0: a single step).
    Task<> applyEntry(int entry, qint64 cycle);
    // The cycles the box asks for, 0 for a run until Stop Batch; nullopt after saying why the text is
    // refused.
    std::optional<qint64> cycles();
    enum class State { Running, Stopped, Done, Failed, Refused };
    void showState(State state, const QString& text);
    // Both false when the run has to end at once: the window is closing. A pause also ends early once Stop
    // Batch is pressed. The commands posted meanwhile run inside both.
    Task<bool> pause(double seconds);
    Task<bool> letEventsRun();

    Host& host_;
    app::Bench& bench_;
    QByteArray dirPath_;
    QByteArray filePath_;
    bool closing_ = false;
    bool followLog_ = true;
    // The file a run is applying now, "" between files.
    QString applying_;
    // The bus port has no transmit line for the trigger block (said once).
    bool noTriggerLine_ = false;

    QTreeWidget* Dir1_ = nullptr;
    QListWidget* File1_ = nullptr;
    QLineEdit* Text1_ = nullptr;
    QLabel* Label3_ = nullptr;
    QLineEdit* cyclesBox_ = nullptr;
    QLabel* stateLabel_ = nullptr;
    QPushButton* Command1_ = nullptr;
    QPushButton* Command2_ = nullptr;
    QPushButton* Command3_ = nullptr;
    QPushButton* Command4_ = nullptr;
    RunLog* runLog_ = nullptr;
    QTableView* logView_ = nullptr;
    QPushButton* saveLogButton_ = nullptr;
    QLabel* logNote_ = nullptr;
};

} // namespace ui
