// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// Long bus work on a slow adapter: the window stays alive, the user's input waits for the work, a close or a
// signal stops it between transactions.
#include "app_fixture.h"

#include "bus/bus_observer.h"
#include "ui/bus_work.h"
#include "ui/connection_line.h"
#include "ui/input_gate.h"
#include "ui/shutdown_signals.h"
#include "ui/widgets.h"

#include <QProgressBar>
#include <QTimer>
#include <QToolButton>
#include <QWindow>

#include <csignal>

namespace {

using namespace std::chrono_literals;

// Runs an action once the bus has carried a number of transactions (counted from when it is armed).
struct AfterTransactions : bus::BusObserver {
    int count = 0;
    int at = -1;
    std::function<void()> action;
    void arm(int n, std::function<void()> what)
    {
        count = 0;
        at = n;
        action = std::move(what);
    }
    void starting(bus::TransactionKind) override {}
    void done(const bus::Transaction&) override
    {
        if (++count == at && action)
            action();
    }
};

class SlowBus : public AppFixture {
protected:
    // The window breathes at every line request, as it does every 20 ms on a slow adapter; a latency makes
    // the work last long enough to show its progress.
    void startBreathing(std::chrono::nanoseconds latency = 0ns)
    {
        start(onCom1({{"vref_high0/10", "10"}}),
              [latency](sim::SimulatedBoard& b) { b.setLineLatency(latency); });
        w().busWork().setBeatInterval(0);
        bench->i2c.addObserver(&after);
        tap->clear();
    }
    // In the middle of the work the window lets its events run: a timer set there fires inside the work,
    // as input arriving from the window system then would.
    void duringWork(int transactions, std::function<void()> what)
    {
        after.arm(transactions,
                  [this, what = std::move(what)] { QTimer::singleShot(0, window.get(), what); });
    }
    // The window on screen before its start-up runs, as the program starts it (load() is the test's to call).
    void showBeforeStartUp()
    {
        settingsPath = dir.filePath("KRM72340.ini");
        {
            QSettings ini(settingsPath, QSettings::IniFormat);
            ini.setValue("PortNumb/2", "1");
            ini.setValue("BitRate/3", "9600");
        }
        board = std::make_unique<sim::SimulatedBoard>();
        auto tapPort = std::make_unique<RecordingPort>(board.get());
        tap = tapPort.get();
        bench = std::make_unique<app::Bench>(settingsPath, std::move(tapPort));
        window = std::make_unique<ui::MainWindow>(*bench);
        window->setReport([this](const QString&, const QString& text) { reports << text; });
        window->setEndProgram([this] { ++ends; });
        window->show();
        w().busWork().setBeatInterval(0);
        bench->i2c.addObserver(&after);
    }
    std::vector<int> addresses() const
    {
        std::vector<int> out;
        for (const auto& frame : bustrace::decode(tap->requests))
            out.push_back(frame.empty() ? -1 : frame.front());
        return out;
    }
    void settle()
    {
        QTest::qWait(50);
        QCoreApplication::processEvents();
    }

    AfterTransactions after;
};

TEST_F(SlowBus, AClickDuringTheWorkWaitsForItAndRunsAfterIt)
{
    startBreathing(50us);
    std::size_t requestsWhenClicked = 0;
    bool progressShown = false;
    QString activity;
    duringWork(30, [&] {
        requestsWhenClicked = tap->requests.size();
        click("Command6");
    });
    QTimer::singleShot(600, window.get(), [&] {
        progressShown = w().progressBar()->isVisible();
        activity = w().connectionLine()->activity();
    });
    click("Command5");
    EXPECT_GT(requestsWhenClicked, 0u) << "the window let events run in the middle of the read";
    EXPECT_TRUE(progressShown);
    EXPECT_FALSE(activity.isEmpty()) << "the connection line says what the bus is busy with";
    settle();
    // Read DAC's probe and 50 reads, all of them before Reset's general call and its own read-back.
    const auto seen = addresses();
    ASSERT_EQ(seen.size(), 1u + 50u + 1u + 50u);
    EXPECT_EQ(seen[0], 0xE8);
    EXPECT_EQ(seen[51], 0x00);
    EXPECT_FALSE(w().progressBar()->isVisible());
    EXPECT_TRUE(w().connectionLine()->activity().isEmpty());
    EXPECT_TRUE(reports.isEmpty());
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
    std::size_t lastRead = 0;
    for (std::size_t i = 0; i < frames.size(); ++i)
        if (frames[i].size() == 3)
            lastRead = i;
    for (std::size_t i = 1; i < lastRead; ++i)
        EXPECT_NE(frames[i].size(), 4u) << "a write inside the reads, frame " << i;
}

// A close (the window's close box, or a signal from outside) stops the work at the next transaction, except
// an OTP burn, which finishes its bank first; then the settings are saved and the program ends.
TEST_F(SlowBus, ACloseOrASignalStopsTheWorkBetweenTransactionsAndEndsInOrder)
{
    const struct {
        const char* what;
        const char* command;
        bool bySignal;
        int requests;       // close requests, one after the other
        std::size_t frames; // frames on the bus, all complete (0: stopped in the reads)
    } cases[] = {
        {"close box during Read DAC", "Command5", false, 1, 0},
        {"close box pressed twice during Read DAC", "Command5", false, 2, 0},
        {"SIGTERM during Read DAC", "Command5", true, 1, 0},
        {"close box during OTP", "Command10", false, 1, 24 + 1 + 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        startBreathing();
        ui::ShutdownSignals fromOutside([this] { w().requestShutdown(); });
        after.arm(c.command == std::string("Command5") ? 11 : 3, [&] {
            for (int n = 0; n < c.requests; ++n) {
                if (c.bySignal) {
                    ::raise(SIGTERM);
                } else {
                    QCloseEvent close;
                    QCoreApplication::sendEvent(w().windowHandle(), &close);
                }
            }
        });
        // The request arrives inside the work: through a timer, like input from the window system.
        after.action = [&, act = after.action] { QTimer::singleShot(0, window.get(), act); };
        click(c.command);
        settle();
        const std::size_t frames = bustrace::decode(tap->requests).size();
        if (c.frames == 0) {
            EXPECT_GE(frames, 1u + 10u + 1u);
            EXPECT_LT(frames, 1u + 50u) << "the read stopped early";
        } else {
            EXPECT_EQ(frames, c.frames);
        }
        const std::string& requests = tap->requests;
        EXPECT_EQ(requests[requests.find_last_of("Dd")], 'd') << "SCL released";
        EXPECT_EQ(requests[requests.find_last_of("Rr")], 'r') << "SDA released";
        EXPECT_EQ(ends, 1);
        EXPECT_TRUE(reports.isEmpty()) << reports.join(' ').toStdString();
        EXPECT_EQ(stored("PortNumb/2"), "1");
        window.reset();
        bench.reset();
        ends = 0;
    }
}

TEST_F(SlowBus, APulledAdapterEndsTheProgressWithOneReportAndTheWindowGoesOn)
{
    startBreathing();
    board->setFaults({false, false, long(board->lineRequests()) + 3000});
    click("Command5");
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].contains("No such device"));
    EXPECT_FALSE(w().progressBar()->isVisible());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    click("Command5");
    EXPECT_EQ(reports.size(), 1);
    EXPECT_TRUE(w().connectionLine()->parts().join(' ').contains("the adapter is gone"));
}

// The window is on screen before the start-up reads the chip; a click meanwhile waits for the start-up.
TEST_F(SlowBus, InputDuringTheStartUpRunsOnceTheStartUpIsDone)
{
    showBeforeStartUp();
    duringWork(20, [this] { click("Command5"); });
    window->load();
    settle();
    // The start-up: probe, 50 reads, 24 write-backs; then Read DAC: probe and 50 reads.
    const auto seen = addresses();
    ASSERT_EQ(seen.size(), 1u + 50u + 24u + 1u + 50u);
    EXPECT_EQ(bustrace::decode(tap->requests)[75], std::vector<int>{0xE8});
}

// The port is open and the chip not yet read, so the hint says to read it; the start-up is reading it.
TEST_F(SlowBus, DuringTheStartUpReadTheLineSaysSoInsteadOfAdvisingARead)
{
    showBeforeStartUp();
    board->setLineLatency(50us);
    QStringList hints;
    QString shown;
    // In the reads (the first 1 + 50 transactions), past the 0.3 s after which work shows its progress even
    // if every line request took no longer than its latency.
    duringWork(40, [&] {
        hints = w().connectionLine()->hints();
        shown = w().connectionLine()->text();
    });
    window->load();
    settle();
    EXPECT_TRUE(hints.contains("Press Read DAC to read the chip"));
    EXPECT_TRUE(shown.contains("Reading the chip")) << shown.toStdString();
    EXPECT_FALSE(shown.contains("Press Read DAC")) << shown.toStdString();
    EXPECT_TRUE(w().connectionLine()->activity().isEmpty());
}

TEST_F(SlowBus, AClosedWindowEndsTheStartUpReadAtItsNextTransaction)
{
    showBeforeStartUp();
    duringWork(20, [this] {
        QCloseEvent close;
        QCoreApplication::sendEvent(w().windowHandle(), &close);
    });
    window->load();
    settle();
    EXPECT_LT(bustrace::decode(tap->requests).size(), 1u + 50u) << "the read stopped early";
    EXPECT_EQ(tap->dacWrites().size(), 0u) << "no write-back of a half-read grid";
    EXPECT_EQ(ends, 1);
    EXPECT_TRUE(reports.isEmpty());
    EXPECT_EQ(stored("PortNumb/2"), "1");
}

} // namespace
