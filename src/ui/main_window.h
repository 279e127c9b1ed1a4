// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "model/channel_model.h"
#include "ui/host.h"

#include <QList>
#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QMessageBox;
class QCheckBox;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace app {
class Bench;
}
namespace engine {
class BusThread;
}

namespace ui {

class BusMonitor;
class Commands;
class ConnectionLine;
class ControlPanel;
class Guidance;
class OtpWriter;
class UpDown;

// The main window: the reference box, the bank status, the A0 button, the 24-row channel grid with its
// arrows, and the command buttons. It is the grid the channel model keeps in step. Every event that works
// on the chip becomes a command in its queue; the bus work runs on a thread of its own, so the window stays
// usable throughout, and what it shows comes from the model as each command goes on.
class MainWindow : public QWidget, public model::ChannelGrid, public Host {
    Q_OBJECT
public:
    static constexpr int kRows = model::kChannels;

    explicit MainWindow(app::Bench& bench, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Start-up, the first command of the run, with the window on screen or before it is shown: initial
    // values, stored settings, port scan and open (with the line check and the chip's presence), the A0
    // look, and the first read of the chip.
    void load();
    // An orderly end asked for from outside (a signal), as a close does: the bus work stops at its next
    // transaction, open questions are answered Cancel, nothing more starts, the settings are saved.
    void requestShutdown();
    // Writes the settings as they stand, once; what the close does, callable by a last-moment exit path
    // too. Returns why they could not be written.
    std::optional<QString> saveSettings();
    // The A0 button's colour and second caption line from the A0 state.
    void show_a0_state() override;

    QString voltText(int row) const override;
    void setVoltText(int row, const QString& text) override;
    void setCodeText(int row, const QString& text) override;
    void setReferenceText(const QString& text) override;
    void setMaxBankText(const QString& text) override;
    void refreshPanel() override;

    app::Bench& bench() override { return bench_; }
    Commands& commands() override { return *commands_; }
    void setPanelRefresh(std::function<void()> refresh) override { panelRefresh_ = std::move(refresh); }
    Task<> burnOtp(int channel, QString what) override;
    Task<> openSelectedPort() override;
    Task<> readUnknownChannels() override;
    // How the program ends when this window closes; tests replace it.
    void setEndProgram(std::function<void()> end) { endProgram_ = std::move(end); }
    // Asks for a channel file, a raw path ("" when cancelled); tests replace the file dialogs of both file
    // commands.
    using FileChooser = std::function<Task<QByteArray>(QWidget* parent, const QString& initialDir)>;
    void setFileChooser(FileChooser chooser)
    {
        chooseFile_ = chooser;
        chooseSaveFile_ = std::move(chooser);
    }

    QLineEdit* voltBox(int row) const { return voltBoxes_.at(row); }
    QLineEdit* codeBox(int row) const { return codeBoxes_.at(row); }
    QLineEdit* referenceBox() const { return referenceBox_; }
    QLineEdit* maxBankBox() const { return maxBankBox_; }
    QPushButton* a0Button() const { return a0Button_; }
    UpDown* arrows() const { return arrows_; }
    ConnectionLine* connectionLine() const { return connectionLine_; }
    QProgressBar* progressBar() const { return progress_; }
    // The command buttons by their names (Command1 .. Command11).
    QPushButton* commandButton(const QString& name) const;
    // The modeless windows while they are open, null otherwise.
    ControlPanel* controlPanel() const;
    OtpWriter* otpWriter() const;
    BusMonitor* busMonitor() const;
    QPushButton* busMonitorButton() const { return busMonitorButton_; }
    // "Show all 24 channels": the grid's second column in view.
    QCheckBox* allChannelsBox() const { return allChannelsBox_; }
    QString voltBoxText(int row) const override;
    QString codeBoxText(int row) const override;
    QWidget* hostWindow() override { return this; }
    RunLog& runLog() override { return *runLog_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildLayout();
    void buildGridRow(int row, const QString& caption, int labelLeft, int boxLeft, int top);
    // Widens the window to the grid's second column (channels 17 to 22), or narrows it to the 18 rows.
    void showAllChannels(bool all);
    void connectCommands();
    template <typename Window> void showModeless(QPointer<Window>& window);
    void voltChanged(int row);
    // What follows every command: the settings that changed are written; texts to report.
    QStringList afterCommand();
    void showProgress(const QString& what, int done, int total);
    void showWorking(bool working);
    // Every box from the model as it stands, without the change handling: what a failed start-up shows.
    void showModel();
    // The end once nothing runs any more: the settings saved, then the program ends.
    void ended();

    // The commands. Each runs in the window's queue.
    Task<> startUp();
    // Waits 0.1 s (the commands posted meanwhile run), then reads the chip into the grid, which refreshes.
    Task<> readAllChannels();
    // Whether a chip answers at the A0 address in use.
    Task<> probeChip();
    Task<> readDac();
    Task<> reset();
    Task<> toggleA0();
    Task<> about();
    Task<> saveToFile();
    Task<> loadFromFile();
    Task<> comSetting();
    Task<> runBatch();
    // The file dialog steps both file commands share; "" when the user cancelled.
    Task<QByteArray> chooseChannelFile(FileChooser chooser);
    // Asks before anything is burnt into the chip's one-time memory, naming what, the bank it goes to and
    // the chip. True only when the user says so; Cancel is the default answer.
    Task<bool> confirmOtpBurn(QString what);

    app::Bench& bench_;
    model::ChannelModel& model_;
    std::unique_ptr<engine::BusThread> busThread_;
    Commands* commands_ = nullptr;
    int inSetter_ = 0;
    int showingOnly_ = 0;
    std::function<void()> panelRefresh_;
    std::function<void()> endProgram_;
    FileChooser chooseFile_;
    FileChooser chooseSaveFile_;
    bool ending_ = false;
    bool saved_ = false;
    bool signalled_ = false;
    QPointer<QMessageBox> exitReport_;
    bool busyCursor_ = false;

    QPointer<ControlPanel> controlPanel_;
    QPointer<OtpWriter> otpWriter_;
    // A window of its own, not a child: deleted with this one.
    QPointer<BusMonitor> busMonitor_;
    QPushButton* busMonitorButton_ = nullptr;
    QCheckBox* allChannelsBox_ = nullptr;
    // The boxes of the second column, row by row (voltage, code), which take the keyboard only while it is
    // in view.
    QList<QLineEdit*> secondColumn_;
    QLineEdit* referenceBox_ = nullptr;
    QLineEdit* maxBankBox_ = nullptr;
    QPushButton* a0Button_ = nullptr;
    UpDown* arrows_ = nullptr;
    ConnectionLine* connectionLine_ = nullptr;
    QProgressBar* progress_ = nullptr;
    Guidance* guidance_ = nullptr;
    RunLog* runLog_ = nullptr;
    std::array<QLineEdit*, kRows> voltBoxes_{};
    // Keystrokes per row whose commands wait their turn.
    std::array<int, kRows> pendingTyped_{};
    std::array<QLineEdit*, kRows> codeBoxes_{};
};

} // namespace ui
