// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// What only real input on a real X server shows (run under Xvfb by run_under_xvfb.sh): every message box
// the program shows is answered by a click or a key that goes through the X server's test extension, as a
// hand on the mouse and keyboard would give it, during and after bus work; the desktop's close and a signal
// end the program with a box open; the bus monitor takes input during a slow batch; clicks given during bus
// work run after it, in order. Nothing here replaces a box or a question of the program.
#include "ui/main_window/app_fixture.h"

#include "ui/batch_window.h"
#include "ui/bus_log.h"
#include "ui/bus_monitor.h"
#include "ui/shutdown_signals.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QScrollBar>
#include <QTableView>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <csignal>
#include <cstring>

namespace {

using namespace std::chrono_literals;

// The X server's test extension on a connection of its own: input as the window system delivers it.
class Hand {
public:
    Hand() : c_(xcb_connect(nullptr, nullptr)), root_(xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root)
    {
    }
    ~Hand() { xcb_disconnect(c_); }
    Hand(const Hand&) = delete;
    Hand& operator=(const Hand&) = delete;

    void click(const QWidget* widget) { clickAt(widget, widget->rect().center()); }
    // A check box takes a click on its box or its text only, not on the rest of its cell.
    void clickBox(const QWidget* box) { clickAt(box, {6, box->height() / 2}); }
    void clickAt(const QWidget* widget, QPoint local)
    {
        const QPoint at = widget->mapToGlobal(local);
        xcb_test_fake_input(c_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, std::int16_t(at.x()),
                            std::int16_t(at.y()), 0);
        xcb_test_fake_input(c_, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(c_, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(c_);
    }
    // A turn of the wheel over the widget away from the user (button 4): up a list.
    void wheel(const QWidget* widget, int notches)
    {
        const QPoint at = widget->mapToGlobal(widget->rect().center());
        xcb_test_fake_input(c_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, std::int16_t(at.x()),
                            std::int16_t(at.y()), 0);
        for (int n = 0; n < notches; ++n) {
            xcb_test_fake_input(c_, XCB_BUTTON_PRESS, 4, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            xcb_test_fake_input(c_, XCB_BUTTON_RELEASE, 4, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        }
        xcb_flush(c_);
    }
    // A key by its keysym (0xff0d Return) to the window that has the keyboard.
    void key(xcb_keysym_t keysym)
    {
        const xcb_keycode_t code = keycodeOf(keysym);
        ASSERT_NE(code, 0) << "no key for keysym " << keysym;
        xcb_test_fake_input(c_, XCB_KEY_PRESS, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(c_, XCB_KEY_RELEASE, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(c_);
    }
    // What the desktop sends when its close button is pressed.
    void closeWindow(const QWidget* window)
    {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = static_cast<xcb_window_t>(window->winId());
        event.type = atom("WM_PROTOCOLS");
        event.data.data32[0] = atom("WM_DELETE_WINDOW");
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(c_, 0, event.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
        xcb_flush(c_);
    }

private:
    xcb_atom_t atom(const char* name)
    {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            c_, xcb_intern_atom(c_, 0, std::uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t a = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return a;
    }
    xcb_keycode_t keycodeOf(xcb_keysym_t keysym)
    {
        const xcb_setup_t* setup = xcb_get_setup(c_);
        const int count = setup->max_keycode - setup->min_keycode + 1;
        xcb_get_keyboard_mapping_reply_t* map = xcb_get_keyboard_mapping_reply(
            c_, xcb_get_keyboard_mapping(c_, setup->min_keycode, std::uint8_t(count)), nullptr);
        xcb_keycode_t found = 0;
        if (map) {
            const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map);
            for (int k = 0; k < count * map->keysyms_per_keycode && !found; ++k)
                if (syms[k] == keysym)
                    found = xcb_keycode_t(setup->min_keycode + k / map->keysyms_per_keycode);
            std::free(map);
        }
        return found;
    }

    xcb_connection_t* c_;
    xcb_window_t root_;
};

constexpr xcb_keysym_t kReturn = 0xff0d;

class RealX : public AppFixture {
protected:
    // The program on a simulated board whose line requests take `latency`, its start-up still to come.
    void startSlow(std::chrono::nanoseconds latency,
                   const std::function<void(sim::SimulatedBoard&)>& setup = {},
                   Entries entries = onCom1({{"vref_high0/10", "10"}}))
    {
        start(
            entries,
            [&](sim::SimulatedBoard& b) {
                b.setLineLatency(latency);
                if (setup)
                    setup(b);
            },
            Chips::Both, false);
        answering = false;
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    // The message box the program shows now, once it is on screen; null if none comes.
    QMessageBox* box(int timeoutMs = 30000)
    {
        QMessageBox* found = nullptr;
        (void)QTest::qWaitFor(
            [&] {
                for (QWidget* top : QApplication::topLevelWidgets())
                    if (auto* b = qobject_cast<QMessageBox*>(top);
                        b && b->isVisible() && b->windowHandle() && b->windowHandle()->isExposed())
                        found = b;
                return found != nullptr;
            },
            timeoutMs);
        return found;
    }
    // Answers the box with a click on its accepting button (OK, Burn), through the X server; it must go.
    void clickAway(QMessageBox* b)
    {
        ASSERT_NE(b, nullptr) << "no message box came";
        QAbstractButton* button = nullptr;
        for (QAbstractButton* candidate : b->buttons())
            if (b->buttonRole(candidate) == QMessageBox::AcceptRole)
                button = candidate;
        ASSERT_NE(button, nullptr);
        const QPointer<QMessageBox> shown(b);
        settled(b);
        hand.click(button);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !shown || !shown->isVisible(); }, 10000))
            << "the click did not answer it: " << shown->text().toStdString();
    }
    // Waits until the window has stopped moving: the window system places it after it is shown.
    static void settled(QWidget* window)
    {
        for (QRect last; last != window->geometry();) {
            last = window->geometry();
            QTest::qWait(100);
        }
    }
    // Answers the box with Return, as a user who has it in front of them: it takes the keyboard first.
    void returnAway(QMessageBox* b)
    {
        ASSERT_NE(b, nullptr) << "no message box came";
        const QPointer<QMessageBox> shown(b);
        b->activateWindow();
        ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == b; }, 10000));
        hand.key(kReturn);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !shown || !shown->isVisible(); }, 10000))
            << "Return did not answer it";
    }
    bool idle() { return !w().commands().busy() && w().commands().bus().inFlight() == 0; }

    Hand hand;
};

// The read-back broken at start-up: its report is answered by a click, and the refusal of the next command
// by Return; nothing was written, and the window takes commands afterwards.
TEST_F(RealX, AStartUpThatFindsTheReadBackBrokenIsAnsweredByAClickAndTheNextRefusalByReturn)
{
    startSlow(0ns, [](sim::SimulatedBoard& b) {
        b.setFaults({true, false, -1});
        b.chip(0x74)->setDacRegister(4, 300);
    });
    w().load();
    QMessageBox* report = box();
    ASSERT_NE(report, nullptr);
    EXPECT_TRUE(report->text().contains("DSR")) << report->text().toStdString();
    clickAway(report);
    hand.click(w().commandButton("Command5"));
    QMessageBox* refusal = box();
    ASSERT_NE(refusal, nullptr);
    returnAway(refusal);
    EXPECT_TRUE(QTest::qWaitFor([this] { return idle(); }, 10000));
    EXPECT_EQ(tap->dacWrites().size(), 0u);
    EXPECT_EQ(chip().dacRegister(4), 300);
}

// Bus work that fails on the way, each report answered where the user sees it: a trace the disk cannot take
// at start-up, a channel file that ends a slow batch, an adapter pulled during Read DAC.
TEST_F(RealX, ReportsOfATraceWriteABatchsBadFileAndAPulledAdapterAreAnswered)
{
    tracePath = file("bus.vcd");
    startSlow(0ns);
    {
        const scratch::SizeLimit limit(4000); // the trace's header, and little of the start-up
        w().load();
        clickAway(box());
    }
    ASSERT_TRUE(QTest::qWaitFor([this] { return idle(); }, 10000));

    QByteArray bad = "10";
    for (int n = 1; n <= 24; ++n)
        bad += n == 5 ? ",x" : "," + QByteArray::number(n);
    file("bad.csv", bad);
    board->setLineLatency(1ms);
    auto* batch = new ui::BatchWindow(w());
    batch->setAttribute(Qt::WA_DeleteOnClose);
    batch->setDirPath(QFile::encodeName(dir.path()));
    batch->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(batch));
    const auto entries = batch->fileList()->findItems("bad.csv", Qt::MatchExactly);
    ASSERT_EQ(entries.size(), 1);
    entries[0]->setSelected(true);
    hand.click(batch->commandButton(1));
    QMessageBox* failed = box();
    ASSERT_NE(failed, nullptr);
    EXPECT_TRUE(failed->text().contains("bad.csv")) << failed->text().toStdString();
    returnAway(failed);
    EXPECT_EQ(batch->stateLabel()->text(), "Ended by an error in cycle 1");
    batch->close();

    board->setLineLatency(50us);
    board->setFaults({false, false, long(board->lineRequests()) + 3000});
    hand.click(w().commandButton("Command5"));
    QMessageBox* pulled = box();
    ASSERT_NE(pulled, nullptr);
    EXPECT_TRUE(pulled->text().contains("No such device")) << pulled->text().toStdString();
    clickAway(pulled);
}

// The desktop's close, and a signal, with a box open: the program ends in order, its settings saved.
TEST_F(RealX, TheDesktopsCloseAndASignalEndTheProgramWithABoxOpen)
{
    for (const bool signal : {false, true}) {
        SCOPED_TRACE(signal ? "SIGTERM" : "the desktop's close");
        ends = 0;
        startSlow(0ns, [](sim::SimulatedBoard& b) { b.setFaults({true, false, -1}); });
        ui::ShutdownSignals fromOutside([this] { w().requestShutdown(); });
        w().load();
        ASSERT_NE(box(), nullptr);
        QFile::remove(settingsPath);
        if (signal)
            ::raise(SIGTERM);
        else
            hand.closeWindow(window.get());
        EXPECT_TRUE(QTest::qWaitFor([this] { return ends > 0; }, 5000)) << "the program did not end";
        EXPECT_EQ(stored("PortNumb/2"), "1") << "the settings were saved";
        window.reset();
        bench.reset();
    }
}

// The bus monitor stays usable during a slow batch: its filter takes a click and its list the wheel.
TEST_F(RealX, TheBusMonitorScrollsAndFiltersDuringASlowBatch)
{
    startSlow(0ns);
    w().load();
    ASSERT_TRUE(QTest::qWaitFor([this] { return idle(); }, 10000));
    hand.click(w().busMonitorButton());
    ASSERT_TRUE(QTest::qWaitFor([this] { return w().busMonitor() && w().busMonitor()->isVisible(); }, 5000));
    ui::BusMonitor* monitor = w().busMonitor();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(monitor));
    // Side by side, as a user arranges them: nothing covers what the hand reaches for.
    monitor->setGeometry(300, 0, 900, 480);
    settled(monitor);
    hand.click(w().commandButton("Command5")); // rows enough to scroll
    ASSERT_TRUE(QTest::qWaitFor([this] { return idle(); }, 10000));

    QByteArray good = "10";
    for (int n = 1; n <= 24; ++n)
        good += "," + QByteArray::number(n * 10);
    file("good.csv", good);
    board->setLineLatency(1ms);
    // The batch window as Run Batch opens it, in the settings' folder.
    w().commandButton("Command4")->click();
    ui::BatchWindow* batch = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (QWidget* top : QApplication::topLevelWidgets())
                if (auto* found = qobject_cast<ui::BatchWindow*>(top); found && found->isVisible())
                    batch = found;
            return batch != nullptr;
        },
        5000));
    batch->setDirPath(QFile::encodeName(dir.path()));
    EXPECT_FALSE(w().isEnabled()) << "the main window and its panels wait while the batch window is open";
    batch->move(300, 520);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(batch));
    settled(batch);
    batch->fileList()->findItems("good.csv", Qt::MatchExactly).value(0)->setSelected(true);
    hand.click(batch->commandButton(1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return batch->stateLabel()->text().startsWith("Running"); }, 5000));

    // The list follows the new rows at its end; a turn of the wheel leaves the end, and the list stays where
    // the user took it as rows come.
    QScrollBar* bar = monitor->view()->verticalScrollBar();
    ASSERT_TRUE(QTest::qWaitFor([&] { return bar->maximum() > 5; }, 20000)) << "rows enough to scroll";
    hand.wheel(monitor->view()->viewport(), 5);
    EXPECT_TRUE(QTest::qWaitFor([&] { return bar->value() < bar->maximum(); }, 5000))
        << "the wheel did not scroll it: " << bar->value() << " of " << bar->maximum();
    const int taken = bar->value();
    const int rows = bar->maximum();
    ASSERT_TRUE(QTest::qWaitFor([&] { return bar->maximum() > rows; }, 10000)) << "rows came";
    EXPECT_EQ(bar->value(), taken);
    QCheckBox* reads = monitor->kindBox(bus::TransactionKind::Read);
    hand.clickBox(reads);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !reads->isChecked(); }, 5000)) << "the filter took no click";
    EXPECT_TRUE(batch->stateLabel()->text().startsWith("Running")) << "all of it while the batch ran";
    hand.click(batch->commandButton(2));
    EXPECT_TRUE(QTest::qWaitFor([&] { return batch->stateLabel()->text().startsWith("Stopped"); }, 60000));
    batch->close();
    EXPECT_TRUE(QTest::qWaitFor([this] { return idle() && w().isEnabled(); }, 10000));
}

// Clicks given while a command works on the bus run after it, each one, in order: Read DAC, then A0 and
// About given during it; A0, A0 and Program OTP All. A signal with a burn clicked and waiting ends the
// program without the question.
TEST_F(RealX, ClicksDuringBusWorkRunAfterItInOrderAndASignalDropsAWaitingBurn)
{
    startSlow(0ns);
    w().load();
    ASSERT_TRUE(QTest::qWaitFor([this] { return idle(); }, 10000));
    board->setLineLatency(100us);
    tap->clear();
    hand.click(w().commandButton("Command5"));
    ASSERT_TRUE(QTest::qWaitFor([this] { return bustrace::decode(tap->requests).size() >= 5; }, 10000));
    hand.click(w().a0Button());
    hand.click(w().commandButton("Command8"));
    QMessageBox* about = box();
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->text().startsWith("KRM59340 Eval Software"));
    const std::vector<int> seen = addresses();
    ASSERT_EQ(seen.size(), (1u + 50u) + (1u + 50u)) << "Read DAC, then all of the toggle's work, then About";
    EXPECT_EQ(seen.back() | 1, 0xEB);
    clickAway(about);

    // A0 twice, the second during the first's reads, then Program OTP All: the burn is asked for the chip
    // both toggles leave in use (0x75 again), and burns there.
    tap->clear();
    hand.click(w().a0Button());
    ASSERT_TRUE(QTest::qWaitFor([this] { return bustrace::decode(tap->requests).size() >= 5; }, 10000));
    hand.click(w().a0Button());
    hand.click(w().commandButton("Command10"));
    QMessageBox* burn = box();
    ASSERT_NE(burn, nullptr);
    EXPECT_TRUE(burn->text().contains("of the chip at 0x75?")) << burn->text().toStdString();
    clickAway(burn);
    // Then what the reset loaded, read back.
    QMessageBox* burnt = box();
    ASSERT_NE(burnt, nullptr);
    EXPECT_TRUE(burnt->text().startsWith("Burnt registers 0 to 23 into OTP bank 1"))
        << burnt->text().toStdString();
    clickAway(burnt);
    ASSERT_TRUE(QTest::qWaitFor([this] { return idle(); }, 20000));
    EXPECT_EQ(tap->otpWrites().size(), 24u);
    EXPECT_EQ(chip(0x75).bankStatus(), 1);
    EXPECT_EQ(chip(0x74).bankStatus(), 0);

    ends = 0;
    ui::ShutdownSignals fromOutside([this] { w().requestShutdown(); });
    tap->clear();
    hand.click(w().commandButton("Command5"));
    ASSERT_TRUE(QTest::qWaitFor([this] { return bustrace::decode(tap->requests).size() >= 5; }, 10000));
    hand.click(w().commandButton("Command10"));
    QTest::qWait(200); // the click has been taken and waits
    ::raise(SIGTERM);
    EXPECT_TRUE(QTest::qWaitFor([this] { return ends > 0; }, 10000));
    EXPECT_EQ(box(500), nullptr) << "no question once the program is ending";
    EXPECT_TRUE(tap->otpWrites().empty());
}

} // namespace
