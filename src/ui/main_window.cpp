// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/main_window.h"

#include "app/bench.h"
#include "bus/device.h"
#include "model/channel_file.h"
#include "model/numbers.h"
#include "ui/batch_window.h"
#include "ui/bus_monitor.h"
#include "ui/bus_work.h"
#include "ui/channel_file_dialog.h"
#include "ui/connection_line.h"
#include "ui/control_panel.h"
#include "ui/guidance.h"
#include "ui/input_gate.h"
#include "ui/otp_writer.h"
#include "ui/port_dialog.h"
#include "ui/run_log.h"
#include "ui/screen_fit.h"
#include "ui/widgets.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QWindow>

#include <cmath>
#include <optional>

namespace ui {

namespace {

// Client area and control positions in twips. The connection line sits below the controls laid out in
// the first 10095 twips.
constexpr int kClientWidth = 2385;
constexpr int kControlsHeight = 10095;
constexpr int kConnectionHeight = 1800;
// The bus monitor's button sits below the connection line, and beside it the progress of long bus work.
constexpr int kMonitorTop = kControlsHeight + kConnectionHeight + 60;
constexpr int kMonitorWidth = 1215;
constexpr int kMonitorHeight = 345;
constexpr int kProgressLeft = 60 + kMonitorWidth + 60;
constexpr int kClientHeight = kMonitorTop + kMonitorHeight + 60;
constexpr int kBoxHeight = 285;
constexpr int kLabelHeight = 195;

struct RowPlace {
    int row;
    const char* caption;
    int top;
};

// Rows 16, 17 and 20..23 exist with the same handling but lie beyond the right edge, out of view.
constexpr RowPlace kRowPlaces[] = {
    {0, "1", 1560},   {1, "2", 1832},   {2, "3", 2104},   {3, "4", 2376},   {4, "5", 2648},
    {5, "6", 2920},   {6, "7", 3192},   {7, "8", 3464},   {8, "9", 3736},   {9, "10", 4008},
    {10, "11", 4280}, {11, "12", 4552}, {12, "13", 4824}, {13, "14", 5096}, {14, "15", 5368},
    {15, "16", 5640}, {18, "c1", 5985}, {19, "c2", 6240}, {16, "17", 5912}, {17, "18", 6184},
    {20, "19", 6456}, {21, "20", 6728}, {22, "21", 7000}, {23, "22", 7272},
};

struct ButtonPlace {
    const char* name;
    const char* caption;
    int left, top, width, height;
};

constexpr ButtonPlace kButtons[] = {
    {"Command1", "Save to File", 120, 6600, 975, 585},
    {"Command2", "Load From File", 1200, 6600, 975, 585},
    {"Command6", "Reset", 120, 7320, 975, 585},
    {"Command4", "Run Batch", 1200, 7275, 975, 585},
    {"Command5", "Read DAC", 120, 7965, 975, 585},
    {"Command9", "Control Panel", 1200, 7920, 975, 585},
    {"Command10", "Program OTP All Channels", 120, 8640, 975, 585},
    {"Command11", "COM Setting", 1200, 8640, 975, 585},
    {"Command3", "Program OTP One Channel", 120, 9360, 975, 615},
    {"Command8", "About", 1200, 9360, 975, 585},
};

// The dialog of the file commands: it lists names that are not UTF-8 and hands back the raw path.
QByteArray chooseWithDialog(QWidget* parent, const QString& initialDir, ChannelFileDialog::Mode mode)
{
    ChannelFileDialog dialog(QFile::encodeName(initialDir), parent, mode);
    return dialog.exec() == QDialog::Accepted ? dialog.chosen() : QByteArray();
}

} // namespace

MainWindow::MainWindow(app::Bench& bench, QWidget* parent)
    : QWidget(parent), bench_(bench), model_(bench.channels),
      guard_([this](const QString& title, const QString& text) { report(title, text); },
             [this] {
                 ending_ = true;
                 QCoreApplication::exit(1);
             }),
      endProgram_([] { QCoreApplication::exit(0); }),
      report_([this](const QString& title, const QString& text) {
          QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, this);
          box.exec();
      }),
      ask_([this](const QString& title, const QString& text, const QString& yesCaption) {
          return askYesOrCancel(this, title, text, yesCaption);
      }),
      chooseFile_([](QWidget* parent, const QString& dir) {
          return chooseWithDialog(parent, dir, ChannelFileDialog::Mode::Open);
      }),
      chooseSaveFile_([](QWidget* parent, const QString& dir) {
          return chooseWithDialog(parent, dir, ChannelFileDialog::Mode::Save);
      }),
      gate_(std::make_unique<InputGate>()), busWork_(std::make_unique<BusWork>(bench, *gate_)),
      runLog_(new RunLog(this))
{
    setUpWindow(this, QStringLiteral("frmKRM59340"), QStringLiteral("KRM59340"), kClientWidth, kClientHeight);
    buildLayout();
    ScreenFit::apply(this);
    connectCommands();
    model_.setGrid(this);
    connect(busWork_.get(), &BusWork::progressed, this, &MainWindow::showProgress);
    // Closing the main window while a command works on the bus stops the work at its next transaction; the
    // close itself follows once the command has ended, and the settings are saved then.
    gate_->setCloseRequest([this](QObject* window) {
        if (window == windowHandle())
            bench_.interrupter.request();
    });
}

MainWindow::~MainWindow()
{
    delete busMonitor_;
    model_.setGrid(nullptr);
}

void MainWindow::requestShutdown()
{
    if (!gate_->holding() || !windowHandle()) {
        close();
        return;
    }
    bench_.interrupter.request();
    gate_->queueClose(windowHandle());
}

void MainWindow::commandBegan()
{
    if (commandDepth_++ == 0)
        busWork_->commandBegan();
}

void MainWindow::commandEnded()
{
    if (--commandDepth_ == 0)
        busWork_->commandEnded();
}

void MainWindow::showProgress(const QString& what, int done, int total)
{
    // What the work is and how far it has come, in the connection line, which has the window's width; beside
    // the Bus Monitor button a bar (an unknown total shows as a moving bar, and work that takes more than its
    // estimate stays just short of done).
    if (what.isEmpty()) {
        connectionLine_->setActivity({});
        progress_->hide();
        return;
    }
    connectionLine_->setActivity(
        total > 0 ? QStringLiteral("%1… %2 of %3").arg(what).arg(std::min(done, total)).arg(total)
                  : QStringLiteral("%1…").arg(what));
    progress_->setRange(0, total);
    progress_->setValue(total > 0 ? std::min(done, total - 1) : 0);
    progress_->show();
}

void MainWindow::buildLayout()
{

    // The window may be on screen while the start-up reads the chip, so the boxes start empty rather than
    // with texts that could pass for values.
    placed<QLabel>(this, QStringLiteral("Label13"), QStringLiteral("Vsup"), 30, 90, 735, 255);
    referenceBox_ = placed<QLineEdit>(this, QStringLiteral("Text13"), {}, 900, 60, 975, 315);
    placed<QLabel>(this, QStringLiteral("Label17"), QStringLiteral("V"), 1920, 90, 195, 195);
    placed<QLabel>(this, QStringLiteral("Label14"), QStringLiteral("Max Bank:"), 30, 510, 885, 285);
    maxBankBox_ = placed<QLineEdit>(this, QStringLiteral("txtMaxBank"), {}, 900, 480, 975, 315);
    maxBankBox_->setReadOnly(true);
    referenceBox_->installEventFilter(this);

    a0Button_ = new WrapButton(QStringLiteral("Change Address    A0= 0"), this);
    a0Button_->setObjectName(QStringLiteral("Command7"));
    placeInTwips(a0Button_, 120, 840, 1695, 555);

    arrows_ = new UpDown(this);
    arrows_->setObjectName(QStringLiteral("UpDown1"));
    placeInTwips(arrows_, 1920, 1560, 240, 4935);
    connect(arrows_, &UpDown::upClicked, this, [this] { handle([this] { model_.step_current_code(+1); }); });
    connect(arrows_, &UpDown::downClicked, this,
            [this] { handle([this] { model_.step_current_code(-1); }); });

    for (const RowPlace& place : kRowPlaces) {
        const bool inView = place.row < 16 || place.row == 18 || place.row == 19;
        const QString caption = QString::fromLatin1(place.caption);
        if (inView)
            buildGridRow(place.row, caption, caption.size() == 1 ? 135 : 45, 330, place.top);
        else
            buildGridRow(place.row, caption, 2760, 2970, place.top);
    }

    for (const ButtonPlace& place : kButtons) {
        auto* button = new WrapButton(QString::fromLatin1(place.caption), this);
        button->setObjectName(QString::fromLatin1(place.name));
        placeInTwips(button, place.left, place.top, place.width, place.height);
    }

    connectionLine_ = new ConnectionLine(bench_.connection, this);
    placeInTwips(connectionLine_, 60, kControlsHeight, kClientWidth - 120, kConnectionHeight);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("busProgress"));
    progress_->setTextVisible(false);
    placeInTwips(progress_, kProgressLeft, kMonitorTop, kClientWidth - 60 - kProgressLeft, kMonitorHeight);
    progress_->hide();
    guidance_ = new Guidance(model_, bench_.connection, bench_.i2c, this);
    guidance_->watchReference(referenceBox_);
    for (QLineEdit* volt : voltBoxes_)
        guidance_->watchVoltage(volt);
    connect(guidance_, &Guidance::changed, connectionLine_,
            [this] { connectionLine_->setHints(guidance_->hints()); });
    busMonitorButton_ = new QPushButton(QStringLiteral("Bus Monitor"), this);
    busMonitorButton_->setObjectName(QStringLiteral("BusMonitor"));
    placeInTwips(busMonitorButton_, 60, kMonitorTop, kMonitorWidth, kMonitorHeight);
}

void MainWindow::buildGridRow(int row, const QString& caption, int labelLeft, int boxLeft, int top)
{
    // Unit labels and the code box keep their offsets from the voltage box in both columns.
    placed<QLabel>(this, {}, caption, labelLeft, top + 45, 285, kLabelHeight);
    QLineEdit* volt =
        placed<QLineEdit>(this, QStringLiteral("Text1_%1").arg(row), {}, boxLeft, top, 675, kBoxHeight);
    placed<QLabel>(this, {}, QStringLiteral("V"), boxLeft + 750, top + 45, 150, kLabelHeight);
    QLineEdit* code = placed<QLineEdit>(this, QStringLiteral("Text15_%1").arg(row), {}, boxLeft + 900, top,
                                        405, kBoxHeight);
    code->setReadOnly(true);
    // The box is narrow: a four-digit code (FFFF from a silent bus) must still fit inside the frame.
    QFont narrow = code->font();
    narrow.setStretch(QFont::SemiCondensed);
    code->setFont(narrow);
    code->setTextMargins(-1, 0, -1, 0);
    placed<QLabel>(this, {}, QStringLiteral("h"), boxLeft + 1350, top + 45, 150, kLabelHeight);
    if (labelLeft == 2760) {
        // Out of view: Tab must not lead the user into a box that cannot be seen.
        volt->setFocusPolicy(Qt::ClickFocus);
        code->setFocusPolicy(Qt::NoFocus);
    }

    voltBoxes_.at(row) = volt;
    codeBoxes_.at(row) = code;
    volt->installEventFilter(this);
    connect(volt, &QLineEdit::textChanged, this, [this, row] { voltChanged(row); });
}

QPushButton* MainWindow::commandButton(const QString& name) const
{
    return findChild<QPushButton*>(name);
}

void MainWindow::load()
{
    // The window may already be on screen: the user's input waits until the start-up is done, as it did
    // when the window appeared only after it.
    const InputGate::Hold hold(*gate_);
    commandBegan();
    busWork_->describe(QStringLiteral("Opening the port"), 0);
    model_.vref_high_cur = 10;
    model_.vref_low_cur = 0;
    setReferenceText(model::number_text(model_.vref_high_cur));
    model_.a0_state = QStringLiteral("0");
    model_.cur_chan = 1;
    bench_.settings.load_settings(model_, bench_.link);
    bench_.link.EnumerateComPorts();
    bench_.link.OpenSelectedPort();
    show_a0_state();
    // The reads, then the write-back of every channel (each box changes from empty).
    busWork_->describe(QStringLiteral("Reading the chip"), 50 + kRows);
    BusyCursor busy;
    const bool read = guard_.run([this] { model_.readAllChannels(); });
    commandEnded();
    bench_.connection.notice();
    if (!read)
        showModel();
    afterCommand();
}

void MainWindow::showModel()
{
    ++showingOnly_;
    model_.refresh_channels();
    --showingOnly_;
    setReferenceText(model::number_text(model_.vref_high_cur));
}

void MainWindow::show_a0_state()
{
    const bool high = model_.a0_state == QStringLiteral("1");
    a0Button_->setText(QStringLiteral("Change Address\n") +
                       (high ? QStringLiteral("A0= 1 ") : QStringLiteral("A0= 0 ")));
    a0Button_->setStyleSheet(high ? QStringLiteral("background-color: rgb(192, 192, 255);")
                                  : QStringLiteral("background-color: rgb(255, 128, 128);"));
}

QString MainWindow::voltBoxText(int row) const
{
    return voltBoxes_.at(row)->text();
}

QString MainWindow::codeBoxText(int row) const
{
    return codeBoxes_.at(row)->text();
}

QString MainWindow::voltText(int row) const
{
    return voltBoxes_.at(row)->text();
}

void MainWindow::setVoltText(int row, const QString& text)
{
    ++inSetter_;
    voltBoxes_.at(row)->setText(text);
    --inSetter_;
    guard_.rethrowParked();
}

void MainWindow::setCodeText(int row, const QString& text)
{
    codeBoxes_.at(row)->setText(text);
}

void MainWindow::setReferenceText(const QString& text)
{
    referenceBox_->setText(text);
}

void MainWindow::setMaxBankText(const QString& text)
{
    maxBankBox_->setText(text);
}

void MainWindow::refreshPanel()
{
    if (panelRefresh_)
        panelRefresh_();
}

void MainWindow::handle(const std::function<void()>& fn, Cursor cursor)
{
    if (inSetter_ > 0) {
        guard_.runNested(fn);
        return;
    }
    // A timer that fires while bus work lets the window breathe (an arrow or a slider held down repeating
    // itself) would start a command inside another: that repeat is skipped, the next one comes after.
    if (busWork_->beating())
        return;
    std::optional<BusyCursor> busy;
    if (cursor == Cursor::Busy)
        busy.emplace();
    commandBegan();
    guard_.run(fn);
    commandEnded();
    bench_.connection.notice();
    afterCommand();
}

void MainWindow::afterCommand()
{
    if (ending_)
        return;
    // Settings are written as they change, so that a reload (the batch window's) gives what is in use and
    // another instance sees it. The store says a failure once.
    if (const auto failure = bench_.saveChangedSettings())
        report(QStringLiteral("KRM59340"), *failure);
    // Each command's traffic reaches the trace file as it ends, so a full disk is found while the user is
    // there to read about it; the message comes once, since every later write would fail the same way.
    const auto traceFailure = bench_.flushTrace();
    if (traceFailure && !traceReported_) {
        traceReported_ = true;
        report(QStringLiteral("KRM59340"), *traceFailure);
    }
}

void MainWindow::voltChanged(int row)
{
    if (showingOnly_ > 0)
        return;
    // Text the program set stands for the model's code, truncated to three decimals: deriving the code
    // from it again would lose a step below a 2.048 V reference at every refresh. Only typed text is read.
    const bool typed = inSetter_ == 0;
    handle([this, row, typed] {
        model_.cur_chan = row + 1;
        if (typed)
            model_.volt_to_code();
        model_.write_current_channel();
    });
}

void MainWindow::voltValidate(int row)
{
    handle([this, row] {
        model_.cur_chan = row + 1;
        model_.volt_to_code();
        model_.refresh_channels();
        model_.write_current_channel();
    });
}

void MainWindow::referenceValidate()
{
    handle([this] {
        const double typed = model::leading_number(referenceBox_->text());
        // A number too large for a double would poison every conversion: keep the reference in use.
        if (std::isfinite(typed))
            model_.vref_high_cur = typed;
        else
            setReferenceText(model::number_text(model_.vref_high_cur));
        model_.refresh_channels();
    });
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    const bool leaving = event->type() == QEvent::FocusOut &&
                         static_cast<QFocusEvent*>(event)->reason() != Qt::ActiveWindowFocusReason &&
                         static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason;
    if (watched == referenceBox_) {
        if (leaving)
            referenceValidate();
        return false;
    }
    for (int row = 0; row < kRows; ++row) {
        if (watched != voltBoxes_.at(row))
            continue;
        if (leaving)
            voltValidate(row);
        else if (event->type() == QEvent::MouseButtonPress)
            model_.cur_chan = row + 1;
        break;
    }
    return false;
}

void MainWindow::connectCommands()
{
    connect(commandButton(QStringLiteral("Command5")), &QPushButton::clicked, this,
            [this] { handle([this] { readDac(); }); });
    connect(commandButton(QStringLiteral("Command6")), &QPushButton::clicked, this, [this] {
        handle([this] {
            busWork_->describe(QStringLiteral("Resetting and reading the chip"), 1 + 50);
            bus::resetChip(model_.i2c());
            model_.readAllChannels();
        });
    });
    connect(commandButton(QStringLiteral("Command10")), &QPushButton::clicked, this, [this] {
        handle([this] {
            if (!confirmOtpBurn(
                    QStringLiteral("all 24 registers (channels 1 to 22, c1 and c2) with the codes "
                                   "held now")))
                return;
            busWork_->describe(QStringLiteral("Burning OTP"), 24 + 1 + 2);
            // Even a close or a signal lets the burn, its reset and the bank status read finish: a half-burnt
            // bank is worse than a late end.
            const bus::Interrupter::Uninterruptible whole(bench_.interrupter);
            model_.write_all_channels_otp();
            bus::resetChip(model_.i2c());
            model_.readBankStatus();
        });
    });
    connect(a0Button_, &QPushButton::clicked, this, [this] { handle([this] { toggleA0(); }); });
    connect(commandButton(QStringLiteral("Command8")), &QPushButton::clicked, this, &MainWindow::about);
    connect(commandButton(QStringLiteral("Command1")), &QPushButton::clicked, this,
            [this] { handle([this] { saveToFile(); }, Cursor::Normal); });
    connect(commandButton(QStringLiteral("Command2")), &QPushButton::clicked, this,
            [this] { handle([this] { loadFromFile(); }, Cursor::Normal); });
    connect(commandButton(QStringLiteral("Command11")), &QPushButton::clicked, this, [this] {
        handle(
            [this] {
                PortDialog dialog(bench_.link, bench_.catalog(), this, [this] { afterCommand(); });
                dialog.exec();
            },
            Cursor::Normal);
    });
    connect(commandButton(QStringLiteral("Command4")), &QPushButton::clicked, this, [this] {
        handle(
            [this] {
                BatchWindow batch(*this);
                batch.exec();
            },
            Cursor::Normal);
    });
    connect(commandButton(QStringLiteral("Command9")), &QPushButton::clicked, this,
            [this] { showModeless(controlPanel_); });
    connect(commandButton(QStringLiteral("Command3")), &QPushButton::clicked, this,
            [this] { showModeless(otpWriter_); });
    connect(busMonitorButton_, &QPushButton::clicked, this, [this] { showModeless(busMonitor_); });
}

ControlPanel* MainWindow::controlPanel() const
{
    return controlPanel_;
}

OtpWriter* MainWindow::otpWriter() const
{
    return otpWriter_;
}

BusMonitor* MainWindow::busMonitor() const
{
    return busMonitor_;
}

template <typename Window> void MainWindow::showModeless(QPointer<Window>& window)
{
    // One instance each: a second press brings the open one to the front as it is.
    if (!window) {
        window = new Window(*this);
        window->setAttribute(Qt::WA_DeleteOnClose);
    }
    window->show();
    window->raise();
    window->activateWindow();
}

void MainWindow::readDac()
{
    busWork_->describe(QStringLiteral("Reading the chip"), 1 + 50);
    bench_.connection.probeChip();
    model_.readAllChannels();
}

void MainWindow::toggleA0()
{
    model_.a0_state = model_.a0_state == QStringLiteral("0") ? QStringLiteral("1") : QStringLiteral("0");
    show_a0_state();
    model_.vref_high_cur = model_.vref_high.at(model_.bank());
    setReferenceText(model::number_text(model_.vref_high_cur));
    // Whether a chip answers at the new address is the first thing a wrong A0 jumper would show.
    busWork_->describe(QStringLiteral("Reading the chip"), 1 + 50);
    bench_.connection.probeChip();
    model_.readAllChannels();
}

bool MainWindow::confirmOtpBurn(const QString& what)
{
    bool known = false;
    const int status = maxBankBox_->text().toInt(&known);
    // A bus where no chip answers reads the status as all ones.
    const QString bank =
        known && status >= 0 && status < 0xFFFF
            ? QStringLiteral("OTP bank %1 (the bank status reads %2)").arg(status + 1).arg(status)
            : QStringLiteral("the next OTP bank (the bank status is not known; Read DAC reads it)");
    // The address the burn goes to: A0 is the address's lowest bit.
    const int address = model_.a0_state == QLatin1String("1") ? 0x75 : 0x74;
    return ask_(
        QStringLiteral("Program OTP"),
        QStringLiteral("Burn %1 into %2 of the chip at 0x%3?\n\nOTP memory is written once: this cannot "
                       "be undone.")
            .arg(what, bank)
            .arg(address, 0, 16),
        QStringLiteral("Burn"));
}

void MainWindow::about()
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("KRM59340 Program."),
                    QStringLiteral("KRM59340 Eval Software  Rev. %1.%2.%3")
                        .arg(KRM_VERSION_MAJOR)
                        .arg(KRM_VERSION_MINOR)
                        .arg(KRM_VERSION_PATCH),
                    QMessageBox::Ok, this);
    box.exec();
}

QByteArray MainWindow::chooseChannelFile(const FileChooser& chooser)
{
    const QByteArray name = chooser(this, bench_.settings.default_dir);
    if (name.isEmpty())
        return {};
    bench_.settings.dir_of_path(QFile::decodeName(name));
    // Not being able to remember the directory is no reason to refuse the file itself.
    if (const auto failure = bench_.settings.save_default_dir(bench_.settings.last_dir))
        report(QStringLiteral("KRM59340"), *failure);
    return name;
}

void MainWindow::saveToFile()
{
    const QByteArray name = chooseChannelFile(chooseSaveFile_);
    if (!name.isEmpty())
        model::save_channel_file(name, model_);
}

void MainWindow::loadFromFile()
{
    const QByteArray name = chooseChannelFile(chooseFile_);
    if (name.isEmpty())
        return;
    BusyCursor busy;
    // Each channel written, and written again by the refresh when its box changes.
    busWork_->describe(QStringLiteral("Loading %1").arg(QFileInfo(name).fileName()), 2 * kRows);
    model::apply_channel_file(name, model_);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    event->accept();
    if (ending_)
        return;
    ending_ = true;
    // A close that arrives where events run inside a command (Read DAC's wait, a batch delay) ends that
    // command at its next transaction too, whether or not the end of the program unwinds it first.
    bench_.interrupter.request();
    saveSettings();
    endProgram_();
}

void MainWindow::saveSettings()
{
    if (saved_)
        return;
    saved_ = true;
    if (const auto failure = bench_.saveSettings())
        report(QStringLiteral("KRM59340"), *failure);
}

void MainWindow::report(const QString& title, const QString& text)
{
    report_(title, text);
}

} // namespace ui
