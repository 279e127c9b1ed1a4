// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/main_window.h"

#include "app/bench.h"
#include "engine/bus_thread.h"
#include "model/channel_file.h"
#include "model/numbers.h"
#include "model/otp_burn.h"
#include "ui/batch_window.h"
#include "ui/bus_monitor.h"
#include "ui/channel_file_dialog.h"
#include "ui/commands.h"
#include "ui/connection_line.h"
#include "ui/control_panel.h"
#include "ui/guidance.h"
#include "ui/otp_writer.h"
#include "ui/port_dialog.h"
#include "ui/run_log.h"
#include "ui/screen_fit.h"
#include "ui/widgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QToolButton>
#include <QWindow>

#include <cmath>
#include <cstdio>
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
// Below them the toggle that shows the grid's second column, which widens the window to take it in.
constexpr int kToggleTop = kMonitorTop + kMonitorHeight + 60;
constexpr int kToggleHeight = 285;
constexpr int kClientHeight = kToggleTop + kToggleHeight + 60;
constexpr int kSecondColumnLabel = 2760;
constexpr int kWideClientWidth = 4530;
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

// The name the grid gives a row ("c1" for row 18).
QString rowCaption(int row)
{
    for (const RowPlace& place : kRowPlaces)
        if (place.row == row)
            return QString::fromLatin1(place.caption);
    return QString::number(row + 1);
}

// The dialog of the file commands: it lists names that are not UTF-8 and hands back the raw path. Modal to
// the main window; the command waits for it from the event loop.
Task<QByteArray> chooseWithDialog(Commands& commands, QWidget* parent, QString initialDir,
                                  ChannelFileDialog::Mode mode)
{
    const QPointer<ChannelFileDialog> dialog(
        new ChannelFileDialog(QFile::encodeName(initialDir), parent, mode));
    struct Dispose {
        QPointer<ChannelFileDialog> dialog;
        ~Dispose()
        {
            if (dialog)
                dialog->deleteLater();
        }
    } dispose{dialog};
    const int result = co_await commands.showDialog(dialog.data());
    co_return result == QDialog::Accepted&& dialog ? dialog->chosen() : QByteArray();
}

// The passes the wait for an available port lets events run before it gives up.
constexpr int kWaitPasses = 1000;

// The voltage boxes take no typing while the grid waits for the chip's codes, which would overwrite it.
class ReadOnlyGrid {
public:
    explicit ReadOnlyGrid(const std::array<QLineEdit*, MainWindow::kRows>& boxes) : boxes_(boxes)
    {
        for (QLineEdit* box : boxes_)
            box->setReadOnly(true);
    }
    ~ReadOnlyGrid()
    {
        for (QLineEdit* box : boxes_)
            box->setReadOnly(false);
    }
    ReadOnlyGrid(const ReadOnlyGrid&) = delete;
    ReadOnlyGrid& operator=(const ReadOnlyGrid&) = delete;

private:
    const std::array<QLineEdit*, MainWindow::kRows>& boxes_;
};

} // namespace

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
    // An arrow held down repeats its click; a repeat that comes while commands wait is skipped, so that
    // letting go stops the stepping at once.
    const auto step = [this](int delta, const QToolButton* arrow) {
        if (arrow->isDown() && commands_->busy())
            return;
        commands_->post([this, delta]() -> Task<> {
            model_.step_current_code(delta);
            co_return;
        });
    };
    connect(arrows_, &UpDown::upClicked, this, [this, step] { step(+1, arrows_->upArrow()); });
    connect(arrows_, &UpDown::downClicked, this, [this, step] { step(-1, arrows_->downArrow()); });

    for (const RowPlace& place : kRowPlaces) {
        const bool inView = place.row < 16 || place.row == 18 || place.row == 19;
        const QString caption = QString::fromLatin1(place.caption);
        if (inView)
            buildGridRow(place.row, caption, caption.size() == 1 ? 135 : 45, 330, place.top);
        else
            buildGridRow(place.row, caption, kSecondColumnLabel, 2970, place.top);
    }

    for (const ButtonPlace& place : kButtons) {
        auto* button = new WrapButton(QString::fromLatin1(place.caption), this);
        button->setObjectName(QString::fromLatin1(place.name));
        placeInTwips(button, place.left, place.top, place.width, place.height);
    }

    connectionLine_ = new ConnectionLine(*commands_, this);
    placeInTwips(connectionLine_, 60, kControlsHeight, kClientWidth - 120, kConnectionHeight);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("busProgress"));
    progress_->setTextVisible(false);
    placeInTwips(progress_, kProgressLeft, kMonitorTop, kClientWidth - 60 - kProgressLeft, kMonitorHeight);
    progress_->hide();
    guidance_ = new Guidance(model_, *commands_, this);
    guidance_->watchReference(referenceBox_);
    for (QLineEdit* volt : voltBoxes_)
        guidance_->watchVoltage(volt);
    connect(guidance_, &Guidance::changed, connectionLine_,
            [this] { connectionLine_->setHints(guidance_->hints()); });
    busMonitorButton_ = new QPushButton(QStringLiteral("Bus Monitor"), this);
    busMonitorButton_->setObjectName(QStringLiteral("BusMonitor"));
    placeInTwips(busMonitorButton_, 60, kMonitorTop, kMonitorWidth, kMonitorHeight);
    allChannelsBox_ = new QCheckBox(QStringLiteral("Show all 24 channels"), this);
    allChannelsBox_->setObjectName(QStringLiteral("AllChannels"));
    allChannelsBox_->setToolTip(QStringLiteral("Shows channels 17 to 22 too, in a second column"));
    placeInTwips(allChannelsBox_, 60, kToggleTop, kClientWidth - 120, kToggleHeight);
}

void MainWindow::showAllChannels(bool all)
{
    allChannelsBox_->setChecked(all);
    // Each row's voltage box, then its code box.
    for (qsizetype i = 0; i < secondColumn_.size(); ++i) {
        const bool code = i % 2 == 1;
        secondColumn_.at(i)->setFocusPolicy(all ? Qt::StrongFocus : code ? Qt::NoFocus : Qt::ClickFocus);
    }
    ScreenFit::redraw(this, {twipsToPixels(this, all ? kWideClientWidth : kClientWidth),
                             twipsToPixels(this, kClientHeight)});
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
    if (labelLeft == kSecondColumnLabel) {
        // Out of view until shown: Tab must not lead the user into a box that cannot be seen.
        volt->setFocusPolicy(Qt::ClickFocus);
        code->setFocusPolicy(Qt::NoFocus);
        secondColumn_ << volt << code;
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

MainWindow::MainWindow(app::Bench& bench, QWidget* parent)
    : QWidget(parent), bench_(bench), model_(bench.channels()),
      busThread_(std::make_unique<engine::BusThread>(bench.engine())),
      commands_(new Commands(*busThread_, this)), endProgram_([] { QCoreApplication::exit(0); }),
      chooseFile_([this](QWidget* parent, const QString& dir) {
          return chooseWithDialog(*commands_, parent, dir, ChannelFileDialog::Mode::Open);
      }),
      chooseSaveFile_([this](QWidget* parent, const QString& dir) {
          return chooseWithDialog(*commands_, parent, dir, ChannelFileDialog::Mode::Save);
      }),
      runLog_(new RunLog(this))
{
    setUpWindow(this, QStringLiteral("frmKRM59340"), QStringLiteral("KRM59340"), kClientWidth, kClientHeight);
    buildLayout();
    ScreenFit::apply(this);
    connectCommands();
    model_.setGrid(this);
    model_.setSink(commands_);
    commands_->setAfterCommand([this] { return afterCommand(); });
    connect(commands_, &Commands::progressed, this, &MainWindow::showProgress);
    connect(commands_, &Commands::workingChanged, this, &MainWindow::showWorking);
}

MainWindow::~MainWindow()
{
    // Whatever still runs on the bus stops at its next transaction; the engine is the bench's and goes on
    // serving whoever comes next.
    bus::Interrupter& interrupter = bench_.engine().interrupter();
    interrupter.request();
    // It follows the commands' connection state and the boxes, which outlive the commands.
    delete guidance_;
    delete commands_;
    busThread_.reset();
    interrupter.clear();
    delete busMonitor_;
    showWorking(false);
    model_.setGrid(nullptr);
    model_.setSink(&bench_.engine());
}

void MainWindow::load()
{
    commands_->post([this] { return startUp(); });
}

Task<> MainWindow::startUp()
{
    commands_->describe(QStringLiteral("Opening the port"), 0);
    model_.vref_high_cur = 10;
    model_.vref_low_cur = 0;
    setReferenceText(model::number_text(model_.vref_high_cur));
    model_.a0_state = QStringLiteral("0");
    model_.cur_chan = 1;
    serial::SerialLink& link = bench_.link();
    const QStringList unusable = bench_.loadSettings();
    showAllChannels(bench_.settings().all_channels);
    link.EnumerateComPorts();
    // Said before the port opens: what reaches the chip follows from the values used instead.
    if (!unusable.isEmpty())
        co_await commands_->report(unusable.join(QStringLiteral("\n\n")));
    co_await openSelectedPort();
    show_a0_state();
    // The reads, then the write-back of every channel (each box changes from empty).
    commands_->describe(QStringLiteral("Reading the chip"), 50 + kRows);
    std::exception_ptr failed;
    try {
        co_await readAllChannels();
    } catch (const ProgramEnding&) {
        throw;
    } catch (...) {
        failed = std::current_exception();
    }
    if (failed) {
        showModel();
        std::rethrow_exception(failed);
    }
}

Task<> MainWindow::openSelectedPort()
{
    serial::SerialLink& link = bench_.link();
    // The port dialog may change PortNumber meanwhile (a pick runs inside the wait), hence the fresh look
    // every pass.
    bool available = link.available();
    for (int passes = 0; !available && passes < kWaitPasses; ++passes) {
        co_await commands_->letWaitingRun();
        co_await commands_->yield();
        available = link.available();
    }
    engine::Batch open;
    open.commands.emplace_back(engine::OpenPort{link.PortNumber, link.BitRate, model_.a0_state, available});
    const engine::Outcome opened = co_await commands_->run(std::move(open));
    if (opened.replies.front().alreadyOpen)
        link.noteAlreadyOpen(link.PortNumber);
    guidance_->portOpened();
}

Task<> MainWindow::readAllChannels()
{
    co_await commands_->wait_seconds(0.1);
    engine::Outcome read;
    {
        // The grid is about to show the chip: what is typed meanwhile would be overwritten.
        const ReadOnlyGrid frozen(voltBoxes_);
        read = co_await commands_->attempt(model_.read_all_channels_batch());
    }
    // A read cut short keeps the words it got; lines that failed their check let nothing through, and a
    // whole read from a bus without a chip gave all ones.
    const bool chipGave = read.failure ? read.connection.lines.usable() : read.connection.chipAnswers();
    if (chipGave) {
        model_.apply_read(read.replies);
    } else {
        // What a bus without a chip gave is no chip's: nothing is shown as read, and nothing of it is
        // written back.
        model_.forget_codes();
        showModel();
        setMaxBankText(QString());
    }
    if (read.failure)
        throw BusFailed(*read.failure);
    guidance_->chipRead();
}

Task<> MainWindow::readUnknownChannels()
{
    if (!model_.unknown_channels().isEmpty() && commands_->connection().chipAnswers()) {
        commands_->describe(QStringLiteral("Reading the chip"), 50);
        co_await readAllChannels();
    }
}

Task<> MainWindow::probeChip()
{
    engine::Batch probe;
    probe.commands.emplace_back(engine::Probe{model_.a0_state, true});
    co_await commands_->run(std::move(probe));
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
    // What the user typed there and has not been applied yet stays: its commands will write it.
    if (pendingTyped_.at(row) > 0)
        return;
    ++inSetter_;
    voltBoxes_.at(row)->setText(text);
    --inSetter_;
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

void MainWindow::showWorking(bool working)
{
    // The busy cursor while a command works on the bus; not while it waits for the user.
    if (working == busyCursor_)
        return;
    busyCursor_ = working;
    if (working)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

QStringList MainWindow::afterCommand()
{
    // Settings are written as they change, so that a reload (the batch window's) gives what is in use and
    // another instance sees it. The store says a failure once.
    if (const auto failure = bench_.saveChangedSettings())
        return {*failure};
    return {};
}

void MainWindow::voltChanged(int row)
{
    if (showingOnly_ > 0)
        return;
    if (inSetter_ > 0) {
        // Set by a refresh inside a command: the text stands for the model's code, truncated to three
        // decimals, and deriving the code from it again would lose a step below a 2.048 V reference at every
        // refresh. The row is written again with its code, as the change of the text always did.
        model_.cur_chan = row + 1;
        model_.write_current_channel();
        return;
    }
    // Typed: converted as it stood at this keystroke, whenever the command gets its turn.
    ++pendingTyped_.at(row);
    commands_->post([this, row, typed = voltBoxes_.at(row)->text()]() -> Task<> {
        --pendingTyped_.at(row);
        model_.cur_chan = row + 1;
        model_.volt_to_code(typed);
        model_.write_current_channel();
        co_return;
    });
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    const bool leaving = event->type() == QEvent::FocusOut &&
                         static_cast<QFocusEvent*>(event)->reason() != Qt::ActiveWindowFocusReason &&
                         static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason;
    if (watched == referenceBox_) {
        if (leaving)
            commands_->post([this]() -> Task<> {
                const double typed = model::leading_number(referenceBox_->text());
                // A number too large for a double would poison every conversion: keep the reference in use.
                if (std::isfinite(typed))
                    model_.vref_high_cur = typed;
                else
                    setReferenceText(model::number_text(model_.vref_high_cur));
                model_.refresh_channels();
                co_return;
            });
        return false;
    }
    for (int row = 0; row < kRows; ++row) {
        if (watched != voltBoxes_.at(row))
            continue;
        if (leaving) {
            commands_->post([this, row]() -> Task<> {
                model_.cur_chan = row + 1;
                model_.volt_to_code();
                model_.refresh_channels();
                model_.write_current_channel();
                co_return;
            });
        } else if (event->type() == QEvent::MouseButtonPress) {
            commands_->post([this, row]() -> Task<> {
                model_.cur_chan = row + 1;
                co_return;
            });
        } else if (event->type() == QEvent::KeyPress) {
            // Up and Down in a voltage box step its code as the arrows beside the grid do.
            const auto* key = static_cast<QKeyEvent*>(event);
            const int delta = key->key() == Qt::Key_Up ? +1 : key->key() == Qt::Key_Down ? -1 : 0;
            if (delta == 0 || (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
                break;
            // A key held down repeats; as with an arrow held, a repeat that comes while commands wait is
            // skipped, so that letting go stops the stepping at once.
            if (!(key->isAutoRepeat() && commands_->busy()))
                commands_->post([this, row, delta]() -> Task<> {
                    model_.cur_chan = row + 1;
                    model_.step_current_code(delta);
                    co_return;
                });
            return true;
        }
        break;
    }
    return false;
}

void MainWindow::connectCommands()
{
    const auto command = [this](const char* button, Task<> (MainWindow::*job)()) {
        connect(commandButton(QString::fromLatin1(button)), &QPushButton::clicked, this,
                [this, job] { commands_->post([this, job] { return (this->*job)(); }); });
    };
    command("Command5", &MainWindow::readDac);
    command("Command6", &MainWindow::reset);
    command("Command8", &MainWindow::about);
    command("Command1", &MainWindow::saveToFile);
    command("Command2", &MainWindow::loadFromFile);
    command("Command11", &MainWindow::comSetting);
    command("Command4", &MainWindow::runBatch);
    connect(commandButton(QStringLiteral("Command10")), &QPushButton::clicked, this, [this] {
        commands_->post([this] {
            return burnOtp(0, QStringLiteral("all 24 registers (channels 1 to 22, c1 and c2) with the codes "
                                             "held now"));
        });
    });
    connect(a0Button_, &QPushButton::clicked, this,
            [this] { commands_->post([this] { return toggleA0(); }); });
    connect(commandButton(QStringLiteral("Command9")), &QPushButton::clicked, this,
            [this] { showModeless(controlPanel_); });
    connect(commandButton(QStringLiteral("Command3")), &QPushButton::clicked, this,
            [this] { showModeless(otpWriter_); });
    connect(busMonitorButton_, &QPushButton::clicked, this, [this] { showModeless(busMonitor_); });
    connect(allChannelsBox_, &QCheckBox::clicked, this, [this](bool all) {
        showAllChannels(all);
        bench_.settings().all_channels = all;
        // Written as every setting is, after a command: this one does nothing else.
        commands_->post([]() -> Task<> { co_return; });
    });
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

Task<> MainWindow::readDac()
{
    commands_->describe(QStringLiteral("Reading the chip"), 1 + 50);
    co_await probeChip();
    co_await readAllChannels();
}

Task<> MainWindow::reset()
{
    commands_->describe(QStringLiteral("Resetting and reading the chip"), 1 + 50);
    commands_->send(engine::ResetChip{});
    co_await readAllChannels();
}

Task<> MainWindow::toggleA0()
{
    model_.a0_state = model_.a0_state == QStringLiteral("0") ? QStringLiteral("1") : QStringLiteral("0");
    show_a0_state();
    model_.vref_high_cur = model_.vref_high.at(model_.bank());
    setReferenceText(model::number_text(model_.vref_high_cur));
    // Whether a chip answers at the new address is the first thing a wrong A0 jumper would show.
    commands_->describe(QStringLiteral("Reading the chip"), 1 + 50);
    co_await probeChip();
    co_await readAllChannels();
}

Task<> MainWindow::burnOtp(int channel, QString what)
{
    const QString unknown =
        channel == 0 ? model_.unknown_channels() : model_.unknown_channels(channel, channel);
    if (!unknown.isEmpty()) {
        co_await commands_->report(QStringLiteral("Nothing was burnt: no chip gave the codes of channels %1, "
                                                  "and OTP memory is written once.\n\nRead DAC once a chip "
                                                  "answers, or set the channels, then burn.")
                                       .arg(unknown));
        co_return;
    }
    const bool yes = co_await confirmOtpBurn(what);
    if (!yes)
        co_return;
    commands_->describe(QStringLiteral("Burning OTP"), 2 + (channel == 0 ? kRows : 1) + 1 + 2 + 50);
    const model::Codes before = model_.code;
    const model::OtpBurn burn(model_, channel);
    // Even a close or a signal lets the burn, its reset and the bank status reads finish: a half-burnt bank
    // is worse than a late end.
    const engine::Outcome burnt = co_await commands_->attempt(burn.batch());
    if (const std::optional<double> status = burn.statusAfter(burnt))
        model_.show_bank_status(*status);
    const QString verdict = burn.verdict(burnt);
    if (burnt.failure) {
        co_await commands_->report(verdict + QStringLiteral("\n\n") + burnt.failure->text());
        co_return;
    }
    // The reset loaded the bank into every register, not only the ones burnt: the grid shows the chip.
    std::optional<engine::Failure> unread;
    try {
        co_await readAllChannels();
    } catch (const BusFailed& e) {
        unread = e.failure();
    }
    if (unread) {
        co_await commands_->report(verdict +
                                   QStringLiteral("\n\nReading the chip back after the reset failed.\n\n") +
                                   unread->text());
        co_return;
    }
    const auto name = [](int n) { return rowCaption(n - 1); };
    const QString text =
        QStringLiteral("%1\n\nAfter the reset the chip holds %2.\n\nOutputs that changed: %3.")
            .arg(verdict, model::holdsText(model_.code, name), model::changesText(before, model_.code, name));
    if (!burn.took(burnt)) {
        co_await commands_->report(text);
        co_return;
    }
    co_await commands_->ask(new QMessageBox(QMessageBox::Information, QStringLiteral("Program OTP"), text,
                                            QMessageBox::Ok, this));
}

Task<bool> MainWindow::confirmOtpBurn(QString what)
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
    const QString question =
        QStringLiteral("Burn %1 into %2 of the chip at 0x%3?\n\nOTP memory is written once: "
                       "this cannot be undone.\n\nThe reset that follows is the I2C general call, which "
                       "resets every chip on the bus: a chip at 0x%4 too reloads its own last OTP bank "
                       "(0 in every register where it has none).")
            .arg(what, bank)
            .arg(address, 0, 16)
            .arg(address ^ 1, 0, 16);
    QMessageBox* box = yesOrCancel(this, QStringLiteral("Program OTP"), question, QStringLiteral("Burn"));
    const QMessageBox::ButtonRole answer = co_await commands_->ask(box);
    co_return answer == QMessageBox::AcceptRole;
}

Task<> MainWindow::about()
{
    const QString text = QStringLiteral("KRM59340 Eval Software  Rev. %1.%2.%3")
                             .arg(KRM_VERSION_MAJOR)
                             .arg(KRM_VERSION_MINOR)
                             .arg(KRM_VERSION_PATCH);
    auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("KRM59340 Program."), text,
                                QMessageBox::Ok, this);
    co_await commands_->ask(box);
}

Task<QByteArray> MainWindow::chooseChannelFile(FileChooser chooser)
{
    const QString initialDir = bench_.settings().default_dir;
    const QByteArray name = co_await chooser(this, initialDir);
    if (name.isEmpty())
        co_return QByteArray();
    model::SettingsStore& settings = bench_.settings();
    settings.dir_of_path(QFile::decodeName(name));
    // Not being able to remember the directory is no reason to refuse the file itself.
    const std::optional<QString> failure = settings.save_default_dir(settings.last_dir);
    if (failure)
        co_await commands_->report(*failure);
    co_return name;
}

Task<> MainWindow::saveToFile()
{
    const QString unknown = model_.unknown_channels();
    if (!unknown.isEmpty()) {
        co_await commands_->report(
            QStringLiteral("Nothing to save: no chip gave the codes of channels %1.\n\n"
                           "Read DAC once a chip answers, then save.")
                .arg(unknown));
        co_return;
    }
    const QByteArray name = co_await chooseChannelFile(chooseSaveFile_);
    if (!name.isEmpty())
        model::save_channel_file(name, model_);
}

Task<> MainWindow::loadFromFile()
{
    const QByteArray name = co_await chooseChannelFile(chooseFile_);
    if (name.isEmpty())
        co_return;
    // Each channel written, and written again by the refresh when its box changes.
    commands_->describe(QStringLiteral("Loading %1").arg(QFileInfo(name).fileName()), 2 * kRows);
    const QStringList warnings = model::apply_channel_file(name, model_);
    if (!warnings.isEmpty())
        co_await commands_->report(warnings.join(QStringLiteral("\n\n")));
}

Task<> MainWindow::comSetting()
{
    const QPointer<PortDialog> dialog(new PortDialog(*this, this));
    struct Dispose {
        QPointer<PortDialog> dialog;
        ~Dispose()
        {
            if (dialog)
                dialog->deleteLater();
        }
    } dispose{dialog};
    co_await commands_->showDialog(dialog.data());
}

Task<> MainWindow::runBatch()
{
    const QPointer<BatchWindow> batch(new BatchWindow(*this));
    struct Dispose {
        QPointer<BatchWindow> batch;
        ~Dispose()
        {
            if (batch)
                batch->deleteLater();
        }
    } dispose{batch};
    co_await batch->load();
    // Modal to the main window and the windows it owns (the control panel, the OTP writer), as it always
    // was, but not to the bus monitor, a window of its own that stays usable during a run: a modal dialog
    // would block that too.
    struct Disabled {
        QPointer<MainWindow> window;
        ~Disabled()
        {
            if (window)
                window->setEnabled(true);
        }
    } disabled{this};
    setEnabled(false);
    batch->setEnabled(true);
    co_await commands_->showDialog(batch.data(), false);
}

void MainWindow::requestShutdown()
{
    signalled_ = true;
    // Told to end while it says why the settings could not be saved: it ends now, the text on stderr.
    if (exitReport_) {
        std::fprintf(stderr, "krm59340: %s\n", qPrintable(exitReport_->text()));
        exitReport_->deleteLater();
        endProgram_();
        return;
    }
    close();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // The window stays until the bus work has stopped; a second close changes nothing.
    event->ignore();
    if (ending_)
        return;
    ending_ = true;
    connectionLine_->setActivity(commands_->busy() ? QStringLiteral("Closing: stopping the bus work…")
                                                   : QString());
    commands_->end([this] { ended(); });
}

void MainWindow::ended()
{
    const std::optional<QString> failure = saveSettings();
    if (!failure || signalled_) {
        // A signal (a logout, kill) leaves nobody to answer a box.
        if (failure)
            std::fprintf(stderr, "krm59340: %s\n", qPrintable(*failure));
        endProgram_();
        return;
    }
    // The user closed the window: they hear of settings that are lost, and the program ends once they have.
    exitReport_ =
        new QMessageBox(QMessageBox::Warning, QStringLiteral("KRM59340"), *failure, QMessageBox::Ok, this);
    exitReport_->setAttribute(Qt::WA_DeleteOnClose);
    exitReport_->setWindowModality(Qt::NonModal);
    connect(exitReport_, &QDialog::finished, this, [this] { endProgram_(); });
    exitReport_->show();
}

std::optional<QString> MainWindow::saveSettings()
{
    if (saved_)
        return std::nullopt;
    saved_ = true;
    return bench_.saveSettings();
}

} // namespace ui
