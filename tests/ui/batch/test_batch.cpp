// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/main_window/app_fixture.h"

#include "bus/bus_observer.h"
#include "serial/port_catalog.h"
#include "ui/batch_window.h"
#include "ui/port_dialog.h"
#include "ui/run_log.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QRegularExpression>

namespace {

class BatchTest : public AppFixture {
protected:
    // Channel n of file i holds code 100 * (i + 1) + n, so every DAC write tells which file it came from;
    // file number bad has a non-number after channel 4.
    void startIn(const QStringList& names, int bad)
    {
        for (int i = 0; i < names.size(); ++i) {
            QByteArray text = "4.096";
            for (int n = 1; n < 25; ++n)
                text += i == bad && n >= 5 ? ",x" : "," + QByteArray::number(100 * (i + 1) + n);
            file(names[i], text);
        }
        start(onCom1({{"Startup/Default_Dir", dir.path() + "/"}}));
        tap->clear();
        openBatch();
    }
    // The batch window as Run Batch opens it; owned by the main window.
    void openBatch()
    {
        b = new ui::BatchWindow(w());
        w().commands().post([this] { return b->load(); });
        settle();
    }
    // A click on the button, and the commands it gave run to their end (a run, to its end).
    void click(int command)
    {
        b->commandButton(command)->click();
        settle();
    }
    void select(std::initializer_list<int> entries) // as clicks in the list would, after clearing it
    {
        b->fileList()->clearSelection();
        for (int e : entries)
            b->fileList()->item(e)->setSelected(true);
    }
    // The files applied so far, numbered from 1, in order.
    std::vector<int> applied() const
    {
        std::vector<int> out;
        for (auto [reg, code] : tap->dacWrites())
            if (out.empty() || out.back() != code / 100)
                out.push_back(code / 100);
        return out;
    }
    int triggered() const { return int(board->transmitted().size() / 4); }
    // Calls fn once the board has seen this many trigger blocks: when the run has logged the file whose
    // block it was, before the delay after it.
    void afterTriggers(int count, std::function<void()> fn)
    {
        auto once = std::make_shared<QMetaObject::Connection>();
        *once = QObject::connect(&b->runLog(), &QAbstractItemModel::rowsInserted, b, [=, this] {
            if (triggered() < count)
                return;
            QObject::disconnect(*once);
            // From the event loop, where the run waits in its delay.
            QTimer::singleShot(0, b, fn);
        });
    }

    ui::BatchWindow* b = nullptr;
};

TEST_F(BatchTest, RunsUntilStoppedOrABadFileOrClosedAndStepsOneSelectedFileAtATime)
{
    startIn({"a.csv", "b.csv", "c.csv", "d.csv", "e.csv"}, 4);
    // A second Run in the first one's endless delay starts a nested run; one Stop ends both at once. No wall
    // time is asserted: a Stop that waited out the delay would meet this guard.
    QTimer::singleShot(30000, b, [this] {
        ADD_FAILURE() << "Stop did not end the delay";
        b->reject();
    });
    select({0, 1});
    b->delayBox()->setText("1e999");
    afterTriggers(1, [&] { click(1); });
    afterTriggers(2, [&] { click(2); });
    click(1); // returns when the run has ended
    EXPECT_EQ(b->stateLabel()->text(), "Stopped by Stop Batch in cycle 1");
    EXPECT_EQ(applied(), std::vector<int>({1}));

    // Single steps over entries 1 and 3 from step_pos 1: Down, Down, Up; after a click in the list the
    // first selected whatever the direction (Up from 3 would give 2); nothing selected does nothing.
    select({1, 3});
    b->step_pos = 1;
    b->list_clicked = 0;
    for (int command : {3, 3, 4})
        click(command);
    b->fileList()->item(2)->setSelected(true);
    click(4);
    select({});
    click(3);
    EXPECT_EQ(applied(), std::vector<int>({1, 4, 2, 4, 2}));

    // A bad file is reported once and ends the run; what came before it, in it too, stays applied. (The
    // settings file, listed last, is never selected.)
    select({0, 4});
    b->delayBox()->setText("none");
    click(1);
    EXPECT_TRUE(reports.size() == 1 && reports[0].contains(dir.filePath("e.csv")))
        << reports.join('\n').toStdString();
    EXPECT_EQ(applied(), std::vector<int>({1, 4, 2, 4, 2, 1, 5}));

    b->delayBox()->setText("3600"); // far longer than the test: only the close can end the wait
    afterTriggers(8, [&] { b->reject(); });
    b->open();
    click(1);
    EXPECT_EQ(b->result(), QDialog::Rejected);
    EXPECT_EQ(triggered(), 8);
}

// Stop given while a file goes to the chip says at once which file the run ends after, long before that
// file is done.
TEST_F(BatchTest, StopWhileAFileIsAppliedSaysAtOnceAfterWhichFileTheRunStops)
{
    startIn({"a.csv", "b.csv"}, -1);
    select({0, 1});
    b->delayBox()->setText("0");
    // On the bus thread, the third write of the first file: the window answers the click while the bus waits.
    struct Stopper final : bus::BusObserver {
        void starting(const bus::Transaction&) override {}
        void done(const bus::Transaction& t) override
        {
            if (t.kind != bus::TransactionKind::DacWrite || ++writes != 3)
                return;
            QMetaObject::invokeMethod(
                batch,
                [this] {
                    batch->commandButton(2)->click();
                    said = batch->stateLabel()->text();
                    writesWhenSaid = writes;
                },
                Qt::BlockingQueuedConnection);
        }
        ui::BatchWindow* batch = nullptr;
        int writes = 0;
        int writesWhenSaid = 0;
        QString said;
    } stopper;
    stopper.batch = b;
    bench->engine().addObserver(&stopper);
    click(1);
    bench->engine().removeObserver(&stopper);
    EXPECT_EQ(stopper.said, "Stopping after a.csv");
    EXPECT_EQ(stopper.writesWhenSaid, 3);
    EXPECT_EQ(applied(), std::vector<int>({1})) << "the file under way is applied to its end";
    EXPECT_EQ(b->stateLabel()->text(), "Stopped by Stop Batch in cycle 1");
}

// A run and a step make the log saved; then counts are refused or run, and saves fail while the run goes on.
TEST_F(BatchTest, CountsCyclesRefusesBadCountsAndKeepsARunLogWhoseFailedSavesAreSaidInTheWindow)
{
    startIn({"a.csv", "b,c.csv", "c.csv", "d.csv"}, 3);
    select({0, 1, 3});
    b->delayBox()->setText("0");
    click(1); // ends at d.csv, which is reported
    EXPECT_EQ(b->stateLabel()->text(), "Ended by an error in cycle 1");
    select({1});
    click(4); // a single step
    const QString saved = dir.filePath("log.csv");
    b->saveLog(saved);
    EXPECT_EQ(b->logNote()->text(), "Run log saved to " + saved + " (4 lines).");
    const QByteArray csv = scratch::Folder::read(file("log.csv"));
    const QString expected =
        QString(
            R"(^Time,Cycle,File,Result\r\n)"
            R"(@,1,a\.csv,applied\r\n)"
            R"(@,1,"b,c\.csv",applied\r\n)"
            R"(@,1,d\.csv,"failed: The channel file [^"]*d\.csv has ""x"" on line 1 where the code of channel 5 [^"]*"\r\n)"
            R"(@,step,"b,c\.csv",applied\r\n$)")
            .replace("@", R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})");
    EXPECT_TRUE(QRegularExpression(expected).match(QString::fromUtf8(csv)).hasMatch()) << csv.toStdString();

    select({0, 2});
    b->delayBox()->setText("0.05");
    for (const char* typed : {"2.5", "-1", "1e3", "two", "0", "99999999999999999999"}) {
        b->cyclesBox()->setText(typed);
        click(1);
        EXPECT_TRUE(b->stateLabel()->text().startsWith("Not started: ")) << typed;
    }
    EXPECT_EQ(triggered(), 3);
    // Where the run is, seen in the delay after each file; there too saves to a place that cannot be written
    // (below a regular file, even for root) and to a full disk.
    QStringList seen;
    for (int n = 1; n <= 4; ++n)
        afterTriggers(3 + n, [&] { seen << b->progressLabel()->text(); });
    file("blocker", "");
    afterTriggers(4, [&] {
        b->saveLog(dir.filePath("blocker/log.csv"));
        seen << b->logNote()->text();
    });
    afterTriggers(5, [&] {
        const scratch::SizeLimit limit(100);
        b->saveLog(saved);
        seen << b->logNote()->text();
    });
    b->cyclesBox()->setText(" 2 ");
    click(1); // returns when the second cycle is done
    EXPECT_EQ(seen, QStringList({"a.csv - file 1 of 2, cycle 1",
                                 "The run log could not be saved to " + dir.filePath("blocker/log.csv") +
                                     ": Not a directory.",
                                 "c.csv - file 2 of 2, cycle 1",
                                 "The run log could not be saved to " + saved + ": File too large.",
                                 "a.csv - file 1 of 2, cycle 2", "c.csv - file 2 of 2, cycle 2"}));
    EXPECT_EQ(b->stateLabel()->text(), "Done: 2 cycles");
    EXPECT_EQ(applied(), std::vector<int>({1, 2, 4, 2, 1, 3, 1, 3}));
    EXPECT_EQ(board->transmitted(), QByteArray("\x01\x00\x00\x00", 4).repeated(7));
    EXPECT_EQ(scratch::Folder::read(file("log.csv")), csv) << "the failed save left the saved log as it was";
    EXPECT_EQ(reports.size(), 1) << "nothing more was reported in a message box";

    // The batch window closed and opened again: the lines not saved are still there.
    EXPECT_EQ(b->runLog().rowCount(), 4 + 4);
    delete b;
    openBatch();
    EXPECT_EQ(b->runLog().rowCount(), 4 + 4);
}

using Opens = std::vector<std::pair<int, QString>>;

// Notes every open with the line settings it was made with.
struct CountingPort : RecordingPort {
    using RecordingPort::RecordingPort;
    Opens opens;
    void open(int n) override
    {
        opens.emplace_back(n, lineSettings());
        RecordingPort::open(n);
    }
};

class PortDialogTest : public AppFixture {};

TEST_F(PortDialogTest, PreselectsTheStoredPortAndRateOrSaysWhyNotAndAppliesEveryPick)
{
    CountingPort* port = nullptr;
    makeTap = [&port](sim::SimulatedBoard* board) {
        auto counting = std::make_unique<CountingPort>(board);
        port = counting.get();
        return counting;
    };
    start({});
    serial::SerialLink& link = bench->link();
    // The ports the start-up scan found, then the stored selection.
    const auto open = [&](const QStringList& ports, qint16 number, qint32 rate) {
        link.PortList = ports;
        for (const QString& name : ports)
            link.PortAvailable.at(name.mid(3).toInt()) = true;
        link.PortNumber = number;
        link.BitRate = rate;
        port->opens.clear();
        auto dialog = std::make_unique<ui::PortDialog>(w(), &w());
        settle();
        return dialog;
    };
    auto d = open({"COM1", "COM3"}, 3, 0); // no rate stored: 9600
    EXPECT_EQ(d->comboComPort()->currentText() + " " + d->comboBitRate()->currentText(), "COM3 9600");
    EXPECT_EQ(port->opens, Opens({{3, "9600,N,8,1"}, {3, "9600,N,8,1"}})); // once per list filled
    d = open({"COM1", "COM3"}, 2, 9600);
    EXPECT_EQ(d->comboComPort()->currentIndex(), -1);
    EXPECT_EQ(d->statusLabel()->text(), "COM2 is unavailable. Please select a different port.");

    // A pick applies at once, and Cancel keeps it; picking the entry already selected reopens the port too
    // (an adapter plugged in again).
    d = open({"COM1", "COM3", "COM12"}, 4, 9600);
    d->show();
    QTest::keyClick(d->comboComPort(), Qt::Key_End);
    settle();
    EXPECT_EQ(port->opens, Opens({{12, "9600,N,8,1"}}));
    d->comboComPort()->showPopup();
    QTest::keyClick(d->comboComPort()->view(), Qt::Key_Return);
    settle();
    EXPECT_EQ(port->opens.size(), 2u);
    QTest::mouseClick(d->cancelButton(), Qt::LeftButton);
    EXPECT_EQ(link.PortNumber, 12);
}

} // namespace
