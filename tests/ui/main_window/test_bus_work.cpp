// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// Long bus work on a slow adapter: the window stays alive, the user's input waits for the work, a close or a
// signal stops it between transactions.
#include "app_fixture.h"

#include "bus/bus_observer.h"
#include "ui/bus_work.h"
#include "ui/connection_line.h"
#include "ui/shutdown_signals.h"
#include "ui/widgets.h"

#include <QProgressBar>
#include <QToolButton>
#include <QWindow>

#include <csignal>

namespace {

using namespace std::chrono_literals;

class SlowBus : public AppFixture, public bus::BusObserver {
protected:
    // The window breathes at every line request, as it does every 20 ms on a slow adapter; a latency makes
    // the work last long enough to show its progress. Without load the window is on screen and its
    // start-up not yet run.
    void startBreathing(std::chrono::nanoseconds latency = 0ns, bool load = true)
    {
        start(
            onCom1({{"vref_high0/10", "10"}}),
            [latency](sim::SimulatedBoard& b) { b.setLineLatency(latency); }, Chips::Both, load);
        w().busWork().setBeatInterval(0);
        bench->i2c.addObserver(this);
        tap->clear();
    }
    // Once the bus has carried this many more transactions the window lets its events run: a timer set then
    // fires inside the work, as input arriving from the window system would.
    void duringWork(int transactions, std::function<void()> what)
    {
        count_ = 0;
        at_ = transactions;
        action_ = std::move(what);
    }
    void starting(bus::TransactionKind) override {}
    void done(const bus::Transaction&) override
    {
        if (++count_ == at_)
            QTimer::singleShot(0, window.get(), action_);
    }

    int count_ = 0, at_ = -1;
    std::function<void()> action_;
};

// The window is on screen before the start-up reads the chip, its boxes empty until then; meanwhile the
// connection line shows the work instead of advising a read, and a click waits for the work to end.
TEST_F(SlowBus, InputDuringTheStartUpRunsOnceItIsDoneAndTheLineShowsTheWorkMeanwhile)
{
    startBreathing(50us, false);
    QString box = volt(0)->text(), shown;
    QStringList hints;
    bool progress = false;
    // In the reads (the first 1 + 50 transactions), past the 0.3 s after which work shows its progress even
    // if every line request took no longer than its latency.
    duringWork(40, [&] {
        box += volt(0)->text();
        hints = w().connectionLine()->hints();
        shown = w().connectionLine()->text();
        progress = w().progressBar()->isVisible();
        click("Command5");
    });
    w().load();
    QTest::qWait(50);
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

// An arrow held down repeats its click from a timer; inside the bus work of a command that repeat must not
// start another one (it may in the read's 0.1 s wait, where events always ran).
TEST_F(SlowBus, ARepeatingTimerStartsNoCommandInsideTheWork)
{
    startBreathing();
    QTimer repeat;
    repeat.setInterval(0);
    QObject::connect(&repeat, &QTimer::timeout, window.get(), [this] { w().arrows()->upArrow()->click(); });
    duringWork(5, [&] { repeat.start(); });
    click("Command5");
    repeat.stop();
    const auto frames = bustrace::decode(tap->requests);
    const auto reads =
        std::find_if(frames.rbegin(), frames.rend(), [](const auto& f) { return f.size() == 3; });
    EXPECT_TRUE(std::none_of(frames.begin(), reads.base(), [](const auto& f) { return f.size() == 4; }))
        << "a write inside the reads";
}

// A close (the window's close box, or a signal from outside) stops the work at the next transaction, except
// an OTP burn, which finishes its bank first; then the settings are saved and the program ends. A close
// during the start-up read leaves the half-read grid unwritten. The end here only counts: the work must stop
// by itself, not because the end of the program unwinds it.
TEST_F(SlowBus, ACloseOrASignalStopsTheWorkBetweenTransactionsAndEndsInOrder)
{
    const struct {
        const char* what;
        const char* command; // none: the start-up
        int closes;          // close requests, one after the other (0: SIGTERM)
        int at;              // transactions before they arrive
        std::size_t frames;  // frames on the bus, all complete (0: stopped in the reads)
    } cases[] = {
        {"close box in Read DAC's wait before its reads", "Command5", 1, 1, 1},
        {"SIGTERM during Read DAC", "Command5", 0, 11, 0},
        {"close box pressed twice during Read DAC", "Command5", 2, 11, 0},
        {"close box during OTP", "Command10", 1, 3, 24 + 1 + 2},
        {"close box during the start-up", nullptr, 1, 11, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ends = 0;
        startBreathing(0ns, c.command != nullptr);
        ui::ShutdownSignals fromOutside([this] { w().requestShutdown(); });
        duringWork(c.at, [&] {
            for (int n = 0; n < c.closes; ++n) {
                QCloseEvent close; // as the window system delivers it
                QCoreApplication::sendEvent(w().windowHandle(), &close);
            }
            if (c.closes == 0)
                ::raise(SIGTERM);
        });
        c.command ? click(c.command) : w().load();
        QTest::qWait(50);
        const std::size_t frames = bustrace::decode(tap->requests).size();
        if (c.frames == 0)
            EXPECT_TRUE(frames > 10u && frames < 1u + 50u) << frames << ": the read stopped early";
        else
            EXPECT_EQ(frames, c.frames);
        EXPECT_EQ(tap->dacWrites().size(), 0u);
        const std::string& requests = tap->requests;
        EXPECT_EQ(requests[requests.find_last_of("Dd")], 'd') << "SCL released";
        EXPECT_EQ(requests[requests.find_last_of("Rr")], 'r') << "SDA released";
        EXPECT_EQ(ends, 1);
        EXPECT_TRUE(reports.isEmpty()) << reports.join(' ').toStdString();
        EXPECT_EQ(stored("PortNumb/2"), "1");
        window.reset();
        bench.reset();
    }
}

TEST_F(SlowBus, APulledAdapterEndsTheWorkWithOneReportAndTheWindowGoesOn)
{
    startBreathing();
    Qt::CursorShape during = Qt::ArrowCursor;
    duringWork(5, [&] { during = QApplication::overrideCursor()->shape(); });
    // The adapter pulled: said once, and the next command says nothing more.
    board->setFaults({false, false, long(board->lineRequests()) + 3000});
    click("Command5");
    click("Command5");
    EXPECT_EQ(during, Qt::WaitCursor);
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].contains("No such device"));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(w().connectionLine()->parts().join(' ').contains("the adapter is gone"));
}

} // namespace
