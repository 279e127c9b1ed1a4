// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/main_window/app_fixture.h"

#include "serial/port_catalog.h"
#include "support/recording_port.h"
#include "ui/batch_window.h"
#include "ui/port_dialog.h"
#include "ui/run_log.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <sys/resource.h>

namespace {

class BatchTest : public AppFixture {
protected:
    // Channel n of file i holds code 100 * (i + 1) + n, so every DAC write tells which file it came from;
    // file number bad has a non-number after channel 4.
    void startIn(const QStringList& names, int bad)
    {
        for (int i = 0; i < names.size(); ++i) {
            QFile f(dir.filePath(names[i]));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write("4.096");
            for (int n = 1; n < 25; ++n)
                f.write(i == bad && n >= 5 ? ",x" : "," + QByteArray::number(100 * (i + 1) + n));
        }
        start(onCom1({{"Startup/Default_Dir", dir.path() + "/"}}));
        tap->clear();
        b = new ui::BatchWindow(w()); // owned by the main window
    }
    void click(int command) { b->commandButton(command)->click(); }
    void select(std::initializer_list<int> entries)
    {
        for (int e : entries)
            b->fileList()->item(e)->setSelected(true); // counts as a click in the list
    }
    // The files applied so far, numbered from 1, in order.
    std::vector<int> applied() const
    {
        std::vector<int> out;
        for (auto [reg, code] : tap->dacWrites())
            out.push_back(code / 100);
        out.erase(std::unique(out.begin(), out.end()), out.end());
        return out;
    }
    QByteArray triggers(int count) const { return QByteArray("\x01\x00\x00\x00", 4).repeated(count); }
    // Calls fn from the event loop once the board has seen this many trigger blocks.
    void afterTriggers(int count, std::function<void()> fn)
    {
        auto* poll = new QTimer(b);
        poll->callOnTimeout([=, this] {
            if (board->transmitted().size() >= 4 * count)
                poll->stop(), fn();
        });
        poll->start(5);
    }

    ui::BatchWindow* b = nullptr;
};

TEST_F(BatchTest, RunsUntilStoppedOrABadFileOrClosedAndStepsOneSelectedFileAtATime)
{
    startIn({"a.csv", "b.csv", "c.csv", "d.csv", "e.csv"}, 4);
    // Closing the window during the last run ends it; before that, only a run that failed to end gets here.
    afterTriggers(11, [&] { b->reject(); });
    select({0, 1, 2});
    b->delayBox()->setText("0.05 s");
    // A second Run during the run starts a nested one; one Stop ends both.
    afterTriggers(3, [&] { click(1); });
    afterTriggers(5, [&] { click(2); });
    click(1); // returns when the run has ended
    EXPECT_EQ(applied(), std::vector<int>({1, 2, 3, 1, 2}));
    EXPECT_EQ(board->transmitted(), triggers(5));

    // Single steps over entries 1 and 3 from step_pos 1: Down, Down, Up; after a click in the list the
    // first selected whatever the direction (Up from 3 would give 2); nothing selected does nothing.
    b->fileList()->clearSelection();
    select({1, 3});
    b->step_pos = 1;
    b->list_clicked = 0;
    for (int command : {3, 3, 4})
        click(command);
    select({2});
    click(4);
    b->fileList()->clearSelection();
    click(3);
    EXPECT_EQ(applied(), std::vector<int>({1, 2, 3, 1, 2, 4, 2, 4, 2}));
    EXPECT_EQ(board->transmitted(), triggers(9));

    // A bad file is reported once and ends the run; what came before it, in it too, stays applied. (The
    // settings file, listed last, is never selected.)
    select({0, 4});
    b->delayBox()->setText("none");
    click(1);
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports.first().contains(dir.filePath("e.csv")));
    EXPECT_EQ(board->transmitted(), triggers(10));
    EXPECT_EQ(applied(), std::vector<int>({1, 2, 3, 1, 2, 4, 2, 4, 2, 1, 5}));

    b->delayBox()->setText("3600"); // far longer than the test: only the close can end the wait
    QTimer::singleShot(0, b, [&] { click(1); });
    EXPECT_EQ(b->exec(), QDialog::Rejected);
    EXPECT_EQ(board->transmitted(), triggers(11));
}

TEST_F(BatchTest, CountsCyclesAndFilesShowsWhereTheRunIsAndRefusesCountsThatAreNotWholeNumbers)
{
    startIn({"a.csv", "b.csv", "c.csv"}, -1);
    select({0, 2});
    b->delayBox()->setText("0.05");
    const struct {
        const char* typed;
        const char* why;
    } refused[] = {
        {"2.5", "the cycle count \"2.5\" is not a whole number"},
        {"-1", "the cycle count \"-1\" is not a whole number"},
        {"1e3", "the cycle count \"1e3\" is not a whole number"},
        {"two", "the cycle count \"two\" is not a whole number"},
        {"0", "a cycle count of 0 would apply nothing"},
        {"99999999999999999999", "the cycle count \"99999999999999999999\" is too large"},
    };
    for (const auto& r : refused) {
        b->cyclesBox()->setText(r.typed);
        click(1);
        EXPECT_EQ(b->stateLabel()->text(),
                  QString("Not started: %1. Give a whole number of at least 1, or leave "
                          "the box empty to run until Stop Batch.")
                      .arg(r.why));
    }
    EXPECT_TRUE(board->transmitted().isEmpty());

    // Where the run is, as seen during the delay after each file.
    QStringList seen;
    for (int n = 1; n <= 4; ++n)
        afterTriggers(n, [&] { seen << b->stateLabel()->text() + " / " + b->progressLabel()->text(); });
    b->cyclesBox()->setText(" 2 ");
    click(1); // returns when the second cycle is done
    EXPECT_EQ(seen, QStringList({"Running 2 cycles / a.csv - file 1 of 2, cycle 1",
                                 "Running 2 cycles / c.csv - file 2 of 2, cycle 1",
                                 "Running 2 cycles / a.csv - file 1 of 2, cycle 2",
                                 "Running 2 cycles / c.csv - file 2 of 2, cycle 2"}));
    EXPECT_EQ(b->stateLabel()->text(), "Done: 2 cycles");
    EXPECT_EQ(applied(), std::vector<int>({1, 3, 1, 3}));
    EXPECT_EQ(board->transmitted(), triggers(4));
    ASSERT_EQ(b->runLog().rowCount(), 4);
    const auto cell = [this](int row, int column) {
        return b->runLog().index(row, column).data().toString();
    };
    EXPECT_EQ(cell(2, ui::RunLog::Cycle), "2");
    EXPECT_EQ(cell(3, ui::RunLog::File), "c.csv");
    EXPECT_EQ(cell(3, ui::RunLog::Result), "applied");
    EXPECT_TRUE(reports.isEmpty());
}

// No wall time is asserted: a Stop that waited out the delay would run into the guard, which closes the
// window and fails the test.
TEST_F(BatchTest, StopEndsTheDelayAtOnceAndOneStopEndsANestedRunAndThenTheOuterOne)
{
    startIn({"a.csv"}, -1);
    select({0});
    for (const char* delay : {"1e999", "60"}) {
        b->delayBox()->setText(delay);
        const int before = static_cast<int>(board->transmitted().size() / 4);
        bool guardFired = false;
        QTimer guard;
        guard.setSingleShot(true);
        guard.callOnTimeout([&] { guardFired = true, b->reject(); });
        guard.start(30000);
        afterTriggers(before + 1, [&] { click(1); }); // a second Run during the first one's delay
        afterTriggers(before + 2, [&] { click(2); });
        click(1);
        EXPECT_FALSE(guardFired) << delay;
        EXPECT_EQ(board->transmitted(), triggers(before + 2)) << delay;
        EXPECT_EQ(b->stateLabel()->text(), "Stopped by Stop Batch in cycle 1") << delay;
    }
    EXPECT_EQ(b->runLog().rowCount(), 4);
}

TEST_F(BatchTest, RunLogIsSavedAsCsvAndAFailedSaveIsSaidInTheWindowWhileTheRunGoesOn)
{
    startIn({"a.csv", "b,c.csv", "d.csv"}, 2);
    select({0, 1, 2});
    b->delayBox()->setText("0");
    click(1); // ends at d.csv, which is reported
    ASSERT_EQ(reports.size(), 1);
    EXPECT_EQ(b->stateLabel()->text(), "Ended by an error in cycle 1");
    b->fileList()->clearSelection();
    select({1});
    click(4); // a single step

    const QString saved = dir.filePath("log.csv");
    b->saveLog(saved);
    EXPECT_EQ(b->logNote()->text(), QString("Run log saved to %1 (4 lines).").arg(saved));
    QFile file(saved);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString csv = QString::fromUtf8(file.readAll());
    const QString time = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})";
    const QString expected =
        QString(
            R"(^Time,Cycle,File,Result\r\n)"
            R"(@,1,a\.csv,applied\r\n)"
            R"(@,1,"b,c\.csv",applied\r\n)"
            R"(@,1,d\.csv,"failed: The channel file [^"]*d\.csv has ""x"" on line 1 where the code of channel 5 [^"]*"\r\n)"
            R"(@,step,"b,c\.csv",applied\r\n$)")
            .replace("@", time);
    EXPECT_TRUE(QRegularExpression(expected).match(csv).hasMatch()) << csv.toStdString();

    // During a run: a place that cannot be written, then a disk that fills up; the run goes on after both.
    QFile blocker(dir.filePath("blocker")); // a path below a regular file can never be created, even by root
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    b->fileList()->clearSelection();
    select({0});
    b->delayBox()->setText("0.05");
    QStringList notes;
    const int before = static_cast<int>(board->transmitted().size() / 4);
    afterTriggers(before + 1, [&] {
        b->saveLog(dir.filePath("blocker/log.csv"));
        notes << b->logNote()->text();
    });
    afterTriggers(before + 2, [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit tiny = old;
        tiny.rlim_cur = 100;
        setrlimit(RLIMIT_FSIZE, &tiny);
        b->saveLog(saved);
        setrlimit(RLIMIT_FSIZE, &old);
        notes << b->logNote()->text();
    });
    afterTriggers(before + 4, [&] { click(2); });
    click(1);
    EXPECT_EQ(board->transmitted(), triggers(before + 4));
    ASSERT_EQ(notes.size(), 2);
    EXPECT_TRUE(notes[0].startsWith(
        QString("The run log could not be saved to %1: ").arg(dir.filePath("blocker/log.csv"))))
        << notes[0].toStdString();
    EXPECT_EQ(notes[1], QString("The run log could not be saved to %1: File too large.").arg(saved));
    EXPECT_TRUE(file.seek(0));
    EXPECT_EQ(QString::fromUtf8(file.readAll()), csv) << "the failed save left the saved log as it was";
    EXPECT_EQ(reports.size(), 1) << "nothing more was reported in a message box";

    // The batch window closed and opened again: the lines not saved are still there.
    const int lines = b->runLog().rowCount();
    EXPECT_EQ(lines, 4 + 4);
    delete b;
    b = new ui::BatchWindow(w());
    EXPECT_EQ(b->runLog().rowCount(), lines);
}

using Opens = std::vector<std::pair<int, QString>>;

// Notes every open with the line settings it was made with.
struct CountingPort : RecordingPort {
    Opens opens;
    void open(int n) override { RecordingPort::open(n), opens.emplace_back(n, lineSettings()); }
};

TEST(PortDialog, PreselectsTheStoredPortAndRateOrSaysWhyNotAndAppliesEveryPick)
{
    CountingPort port;
    serial::SerialLink link(port);
    serial::PortCatalog catalog({{12, "/dev/serial/by-id/usb-fake-0"}}, {});
    QWidget parent;
    // The ports the start-up scan found, then the stored selection.
    const auto open = [&](const QStringList& ports, qint16 number, qint32 rate) {
        link.PortList = ports;
        for (const QString& name : ports)
            link.PortAvailable.at(name.mid(3).toInt()) = true;
        link.PortNumber = number;
        link.BitRate = rate;
        port.opens.clear();
        return std::make_unique<ui::PortDialog>(link, &catalog, &parent);
    };
    auto d = open({"COM1", "COM3"}, 3, 0); // no rate stored: 9600
    EXPECT_EQ(d->comboComPort()->currentText(), "COM3");
    EXPECT_EQ(d->comboBitRate()->currentText(), "9600");
    EXPECT_EQ(port.opens, Opens({{3, "9600,N,8,1"}, {3, "9600,N,8,1"}})); // once per list filled
    d = open({"COM1", "COM3"}, 2, 9600);
    EXPECT_EQ(d->comboComPort()->currentIndex(), -1);
    EXPECT_EQ(d->statusLabel()->text(), "COM2 is unavailable. Please select a different port.");
    d = open({}, 0, 9600); // no port found
    EXPECT_EQ(d->comboComPort()->count(), 0);
    EXPECT_EQ(d->statusLabel()->text(), "Please select a COM port.");

    // A device left out for want of permission is named with the way to get access.
    catalog.notePermissionDenied(4, "/dev/serial/by-id/usb-fake-1", "Permission denied");
    d = open({"COM1", "COM3", "COM12"}, 4, 9600);
    EXPECT_TRUE(d->statusLabel()->text().endsWith(
        ".\nNo permission to open /dev/serial/by-id/usb-fake-1 (COM4). Join the group that owns it (usually "
        "dialout: sudo usermod -aG dialout $USER), then log out and in again."));

    // A pick applies at once, and Cancel keeps it.
    d->show();
    QTest::keyClick(d->comboComPort(), Qt::Key_End);
    EXPECT_EQ(port.opens, Opens({{12, "9600,N,8,1"}}));
    // Picking the entry already selected reopens the port too (an adapter plugged in again).
    d->comboComPort()->showPopup();
    QTest::keyClick(d->comboComPort()->view(), Qt::Key_Return);
    EXPECT_EQ(port.opens.size(), 2u);
    QTest::mouseClick(d->cancelButton(), Qt::LeftButton);
    EXPECT_EQ(link.PortNumber, 12);
}

} // namespace
