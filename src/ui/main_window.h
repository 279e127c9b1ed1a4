// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "model/channel_model.h"
#include "ui/command_guard.h"
#include "ui/host.h"

#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace app {
class Bench;
}

namespace ui {

class BusMonitor;
class BusWork;
class ConnectionLine;
class ControlPanel;
class Guidance;
class InputGate;
class OtpWriter;
class UpDown;

// The main window: the reference box, the bank status, the A0 button, the 24-row channel grid with its
// arrows, and the command buttons. It is the grid the channel model keeps in step; events become calls of
// the model and the device operations, each through the command guard.
class MainWindow : public QWidget, public model::ChannelGrid, public Host {
    Q_OBJECT
public:
    static constexpr int kRows = model::kChannels;

    explicit MainWindow(app::Bench& bench, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Start-up, run once, with the window on screen or before it is shown: initial values, stored
    // settings, port scan and open (with the line check and the chip's presence), the A0 look, and the
    // first read of the chip. The user's input waits until it is done.
    void load();
    // An orderly end asked for from outside (a signal): at once when nothing runs, otherwise once the bus
    // work has stopped at its next transaction; the settings are saved either way.
    void requestShutdown();
    // Writes the settings as they stand; what the close does, callable by a last-moment exit path too.
    void saveSettings();
    // The A0 button's colour and second caption line from the A0 state.
    void show_a0_state() override;

    QString voltText(int row) const override;
    void setVoltText(int row, const QString& text) override;
    void setCodeText(int row, const QString& text) override;
    void setReferenceText(const QString& text) override;
    void setMaxBankText(const QString& text) override;
    void refreshPanel() override;

    app::Bench& bench() override { return bench_; }
    CommandGuard& guard() { return guard_; }
    // Runs one event's handling through the guard (parked instead when nested inside our own setter). Work
    // that talks to the chip shows the busy cursor until it ends or fails.
    void handle(const std::function<void()>& fn, Cursor cursor = Cursor::Busy) override;
    // Where the control panel hooks its refresh in while it is open.
    void setPanelRefresh(std::function<void()> refresh) override { panelRefresh_ = std::move(refresh); }
    // How the program ends when this window closes; tests replace it.
    void setEndProgram(std::function<void()> end) { endProgram_ = std::move(end); }
    // Asks for a channel file, a raw path ("" when cancelled); tests replace the real file dialogs of both
    // file commands.
    using FileChooser = std::function<QByteArray(QWidget* parent, const QString& initialDir)>;
    void setFileChooser(FileChooser chooser)
    {
        chooseFile_ = chooser;
        chooseSaveFile_ = std::move(chooser);
    }
    // How failures reach the user (a message box); tests replace it.
    void setReport(CommandGuard::Report report) { report_ = std::move(report); }
    // Asks a question whose answers are yesCaption and Cancel, Cancel the default (a message box); tests
    // replace it.
    using Ask = std::function<bool(const QString& title, const QString& text, const QString& yesCaption)>;
    void setAsk(Ask ask) { ask_ = std::move(ask); }
    bool confirmOtpBurn(const QString& what) override;

    QLineEdit* voltBox(int row) const { return voltBoxes_.at(row); }
    QLineEdit* codeBox(int row) const { return codeBoxes_.at(row); }
    QLineEdit* referenceBox() const { return referenceBox_; }
    QLineEdit* maxBankBox() const { return maxBankBox_; }
    QPushButton* a0Button() const { return a0Button_; }
    UpDown* arrows() const { return arrows_; }
    ConnectionLine* connectionLine() const { return connectionLine_; }
    QProgressBar* progressBar() const { return progress_; }
    InputGate& inputGate() { return *gate_; }
    BusWork& busWork() { return *busWork_; }
    // The command buttons by their names (Command1 .. Command11).
    QPushButton* commandButton(const QString& name) const;
    // The modeless windows while they are open, null otherwise.
    ControlPanel* controlPanel() const;
    OtpWriter* otpWriter() const;
    BusMonitor* busMonitor() const;
    QPushButton* busMonitorButton() const { return busMonitorButton_; }
    QString voltBoxText(int row) const override;
    QString codeBoxText(int row) const override;
    QWidget* hostWindow() override { return this; }
    void afterCommand() override;
    RunLog& runLog() override { return *runLog_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildLayout();
    void buildGridRow(int row, const QString& caption, int labelLeft, int boxLeft, int top);
    void voltChanged(int row);
    void voltValidate(int row);
    void referenceValidate();
    void connectCommands();
    template <typename Window> void showModeless(QPointer<Window>& window);
    void toggleA0();
    void about();
    void saveToFile();
    void loadFromFile();
    // The file dialog steps both file commands share; "" when the user cancelled.
    QByteArray chooseChannelFile(const FileChooser& chooser);
    void report(const QString& title, const QString& text);
    // The command boundaries the bus work's progress counts between (outermost commands only).
    void commandBegan();
    void commandEnded();
    void showProgress(const QString& what, int done, int total);
    // Every box from the model as it stands, without the change handling: what a failed start-up shows.
    void showModel();
    // Read DAC: whether a chip answers, then the read-back.
    void readDac();

    app::Bench& bench_;
    model::ChannelModel& model_;
    CommandGuard guard_;
    int inSetter_ = 0;
    int showingOnly_ = 0;
    std::function<void()> panelRefresh_;
    std::function<void()> endProgram_;
    CommandGuard::Report report_;
    Ask ask_;
    FileChooser chooseFile_;
    FileChooser chooseSaveFile_;
    bool ending_ = false;
    bool saved_ = false;
    int commandDepth_ = 0;
    std::unique_ptr<InputGate> gate_;
    std::unique_ptr<BusWork> busWork_;
    bool traceReported_ = false;

    QPointer<ControlPanel> controlPanel_;
    QPointer<OtpWriter> otpWriter_;
    // A window of its own, not a child: deleted with this one.
    QPointer<BusMonitor> busMonitor_;
    QPushButton* busMonitorButton_ = nullptr;
    QLineEdit* referenceBox_ = nullptr;
    QLineEdit* maxBankBox_ = nullptr;
    QPushButton* a0Button_ = nullptr;
    UpDown* arrows_ = nullptr;
    ConnectionLine* connectionLine_ = nullptr;
    QProgressBar* progress_ = nullptr;
    Guidance* guidance_ = nullptr;
    RunLog* runLog_ = nullptr;
    std::array<QLineEdit*, kRows> voltBoxes_{};
    std::array<QLineEdit*, kRows> codeBoxes_{};
};

} // namespace ui
