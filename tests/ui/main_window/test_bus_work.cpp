// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// Long bus work on a slow adapter: the window stays alive, what the user gives meanwhile waits its turn and
// runs in order, a close or a signal stops the work between transactions.
#include "app_fixture.h"

#include "bus/bus_observer.h"
#include "ui/connection_line.h"
#include "ui/control_panel.h"
#include "ui/shutdown_signals.h"
#include "ui/widgets.h"

#include <QProgressBar>
#include <QSemaphore>
#include <QSlider>
#include <QWindow>

#include <csignal>

namespace {

using namespace std::chrono_literals;

class SlowBus : public AppFixture, public bus::BusObserver {
protected:
    // A latency makes the work last long enough to show its progress. Without load the window is on
    // screen and its start-up not yet run.
    void startSlow(std::chrono::nanoseconds latency = 0ns, bool load = true, Chips chips = Chips::Both)
    {
        start(
            onCom1({{"vref_high0/10", "10"}}),
            [latency](sim::SimulatedBoard& b) { b.setLineLatency(latency); }, chips, load);
        bench->engine().addObserver(this);
        tap->clear();
    }
    void TearDown() override
    {
        if (bench)
            bench->engine().removeObserver(this);
    }
    // Once the bus has carried this many more transactions, what runs on the window's thread while the bus
    // waits for it: input arriving in the middle of the work, at an exact point.
    void duringWork(int transactions, std::function<void()> what)
    {
        count_ = 0;
        at_ = transactions;
        action_ = std::move(what);
    }
    void starting(const bus::Transaction&) override {}
    void done(const bus::Transaction&) override
    {
        if (++count_ != at_)
            return;
        QMetaObject::invokeMethod(
            window.get(),
            [this] {
                action_();
                acted_.release();
            },
            Qt::QueuedConnection);
        acted_.tryAcquire(1, 10000);
    }
    void clickNow(const char* button) { QTest::mouseClick(w().commandButton(button), Qt::LeftButton); }

    int count_ = 0, at_ = -1;
    std::function<void()> action_;
    QSemaphore acted_;
};

// The window is on screen before the start-up reads the chip, its boxes empty until then; meanwhile the
// connection line shows the work instead of advising a read, and a click waits for the work to end.
TEST_F(SlowBus, InputDuringTheStartUpRunsOnceItIsDoneAndTheLineShowsTheWorkMeanwhile)
{
    startSlow(20us, false);
    QString box = volt(0)->text(), shown;
    QStringList hints;
    bool progress = false;
    // In the reads (the first 1 + 50 transactions), once the work has shown its progress.
    duringWork(40, [&] {
        progress = QTest::qWaitFor([this] { return w().progressBar()->isVisible(); }, 5000);
        box += volt(0)->text();
        hints = w().connectionLine()->hints();
        shown = w().connectionLine()->text();
        clickNow("Command5");
    });
    w().load();
    settle();
    EXPECT_EQ(box, "");
    EXPECT_TRUE(hints.contains("Press Read DAC to read the chip"));
    EXPECT_TRUE(shown.contains("Reading the chip") && !shown.contains("Press Read DAC"))
        << shown.toStdString();
    EXPECT_TRUE(progress);
    EXPECT_FALSE(w().progressBar()->isVisible());
    EXPECT_TRUE(w().connectionLine()->activity().isEmpty());
    // The start-up: probe, 50 reads, 24 write-backs; then Read DAC: probe and 50 reads.
    EXPECT_EQ(addresses().size(), 1u + 50u + 24u + 1u + 50u);
    EXPECT_EQ(addresses()[75], 0xE8);
}

// Clicks given while a command works on the bus are never lost: each runs once the one before it has
// ended, in the order given, however many wait. Only the read-back's 0.1 s wait runs the ones waiting then.
TEST_F(SlowBus, ClicksDuringBusWorkRunAfterItEveryOneInOrder)
{
    startSlow();
    // Read DAC, and during its reads A0 then About: the reads at the new address, then the box.
    duringWork(10, [&] {
        QTest::mouseClick(w().a0Button(), Qt::LeftButton);
        clickNow("Command8");
    });
    std::size_t framesWhenShown = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (framesWhenShown == 0 && !shown.isEmpty())
            framesWhenShown = bustrace::decode(tap->requests).size();
    });
    watch.start(0);
    click("Command5");
    const std::vector<int> seen = addresses();
    ASSERT_EQ(seen.size(), (1u + 50u) + (1u + 50u)) << "Read DAC, then the A0 toggle's probe and reads";
    EXPECT_TRUE(std::all_of(seen.begin(), seen.begin() + 51, [](int a) { return (a | 1) == 0xE9; }));
    // (Both chips hold 0, as the grid shows already: no row is written back.)
    EXPECT_TRUE(std::all_of(seen.begin() + 51, seen.end(), [](int a) { return (a | 1) == 0xEB; }));
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].startsWith("KRM59340 Eval Software"));
    EXPECT_EQ(framesWhenShown, seen.size()) << "About came after the toggle's work";

    // A0 twice (from 1), the second during the first's reads, then Program OTP All: the burn is asked for
    // and goes to the chip the A0 state names after both, the one at 0x75 again.
    tap->clear();
    questions.clear();
    answer = true;
    duringWork(20, [&] {
        QTest::mouseClick(w().a0Button(), Qt::LeftButton);
        clickNow("Command10");
    });
    press(w().a0Button());
    ASSERT_EQ(questions.size(), 1);
    EXPECT_TRUE(questions[0].contains("of the chip at 0x75?")) << questions[0].toStdString();
    EXPECT_EQ(tap->otpWrites().size(), 24u);
    EXPECT_EQ(chip(0x75).bankStatus(), 1);
    EXPECT_EQ(chip(0x74).bankStatus(), 0);
}

// A close (the window's close box, or a signal from outside) stops the work at the next transaction, except
// an OTP burn, which finishes its bank first; then the settings are saved and the program ends. A close
// during the start-up read leaves the half-read grid unwritten; a command waiting is dropped, its question
// never asked.
TEST_F(SlowBus, ACloseOrASignalStopsTheWorkBetweenTransactionsAndEndsInOrder)
{
    const struct {
        const char* what;
        const char* command; // none: the start-up
        int closes;          // close requests, one after the other (0: SIGTERM)
        int at;              // transactions before they arrive
        std::size_t frames;  // frames on the bus, all complete (0: stopped in the reads)
        const char* waiting; // a command clicked just before the close
    } cases[] = {
        {"close box before Read DAC's reads", "Command5", 1, 1, 1, nullptr},
        {"SIGTERM during Read DAC", "Command5", 0, 11, 0, nullptr},
        {"close box pressed twice during Read DAC", "Command5", 2, 11, 0, nullptr},
        {"close box during OTP", "Command10", 1, 3, 2 + 24 + 1 + 2, nullptr},
        {"close box during the start-up", nullptr, 1, 11, 0, nullptr},
        {"SIGTERM with Program OTP waiting", "Command5", 0, 11, 0, "Command10"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ends = 0;
        questions.clear();
        startSlow(0ns, c.command != nullptr);
        ui::ShutdownSignals fromOutside([this] { w().requestShutdown(); });
        duringWork(c.at, [&] {
            if (c.waiting)
                clickNow(c.waiting);
            for (int n = 0; n < c.closes; ++n) {
                QCloseEvent close; // as the window system delivers it
                QCoreApplication::sendEvent(w().windowHandle(), &close);
            }
            if (c.closes == 0) {
                ::raise(SIGTERM);
                // The bus waits here until the signal has reached the event loop and asked it to stop.
                EXPECT_TRUE(
                    QTest::qWaitFor([this] { return bench->engine().interrupter().requested(); }, 5000));
            }
        });
        c.command ? (void)QTest::mouseClick(w().commandButton(c.command), Qt::LeftButton) : w().load();
        ASSERT_TRUE(waitUntil([this] { return ends > 0; }));
        const std::size_t frames = bustrace::decode(tap->requests).size();
        if (c.frames == 0)
            EXPECT_TRUE(frames >= 10u && frames < 1u + 50u) << frames << ": the read stopped early";
        else
            EXPECT_EQ(frames, c.frames);
        EXPECT_EQ(tap->dacWrites().size(), 0u);
        const std::string& requests = tap->requests;
        EXPECT_EQ(requests[requests.find_last_of("Dd")], 'd') << "SCL released";
        EXPECT_EQ(requests[requests.find_last_of("Rr")], 'r') << "SDA released";
        EXPECT_EQ(ends, 1);
        EXPECT_TRUE(reports.isEmpty()) << reports.join(' ').toStdString();
        // The burn was asked for before the close; the command waiting when the signal came never asks.
        EXPECT_EQ(questions.size(), c.command && std::string(c.command) == "Command10" ? 1 : 0);
        EXPECT_EQ(stored("PortNumb/2"), "1");
        bench->engine().removeObserver(this);
        window.reset();
        bench.reset();
    }
}

TEST_F(SlowBus, APulledAdapterEndsTheWorkWithOneReportAndTheWindowGoesOn)
{
    startSlow();
    Qt::CursorShape during = Qt::ArrowCursor;
    duringWork(5, [&] {
        EXPECT_TRUE(QTest::qWaitFor([] { return QApplication::overrideCursor() != nullptr; }, 1000));
        during = QApplication::overrideCursor() ? QApplication::overrideCursor()->shape() : Qt::ArrowCursor;
    });
    // The adapter pulled: said once; the next command refuses, naming the port, and shows nothing as read.
    board->setFaults({false, false, long(board->lineRequests()) + 3000});
    click("Command5");
    const QString shown = w().codeBox(23)->text();
    click("Command5");
    click("Command6"); // Reset
    click("Command7"); // A0
    EXPECT_EQ(during, Qt::WaitCursor);
    ASSERT_EQ(reports.size(), 4);
    EXPECT_TRUE(reports[0].contains("No such device"));
    for (int k = 1; k < 4; ++k)
        EXPECT_TRUE(reports[k].startsWith("Nothing was sent to the chip: COM1 (simulated board) is gone"))
            << reports[k].toStdString();
    EXPECT_EQ(w().codeBox(23)->text(), shown);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(w().connectionLine()->parts().join(' ').contains("the adapter is gone"));
}

// A drag over a slow bus: the moves made while a write is under way fold into the last one, so the drag
// ends at the released position instead of replaying every place the mouse passed.
TEST_F(SlowBus, ADragOverASlowBusWritesTheReleasedPositionNotEveryPlaceItPassed)
{
    startSlow();
    board->setLineLatency(1ms);
    click("Command9");
    QSlider* slider = w().controlPanel()->slider(0);
    tap->clear();
    for (int position = 1000; position >= 600; position -= 10)
        slider->setValue(position); // as a drag moves it
    settle();
    const auto writes = tap->dacWrites();
    ASSERT_FALSE(writes.empty());
    EXPECT_LE(writes.size(), 6u) << "41 moves";
    EXPECT_EQ(writes.back(), std::make_pair(0, 1024 - 600));
    EXPECT_EQ(chip().dacRegister(0), 1024 - 600);
}

} // namespace
