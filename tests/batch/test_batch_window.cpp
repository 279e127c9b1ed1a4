#include "app/app_fixture.h"

#include "batch/batch_window.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <vector>

namespace {

const QByteArray kTrigger("\x01\x00\x00\x00", 4);

class BatchTest : public AppFixture {
protected:
    // Channel n of the file with the given base holds code base + n, so every DAC write tells which file it
    // came from (base / 100).
    void writeChannelFile(const QString& name, int base, int goodLines = 25)
    {
        QFile f(files.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("4.096\r\n");
        for (int n = 1; n < 25; ++n)
            f.write(n < goodLines ? QByteArray::number(base + n) + "\r\n" : QByteArray("x\r\n"));
    }

    void startIn(std::initializer_list<std::pair<const char*, int>> channelFiles)
    {
        ASSERT_TRUE(QDir().mkpath(files.path()));
        for (const auto& [name, base] : channelFiles)
            writeChannelFile(name, base);
        start(onCom1({{"Startup/Default_Dir", files.path() + "/"}}));
        tap->clear();
        batchWindow = std::make_unique<batch::BatchWindow>(w());
        batchWindow->show();
    }

    batch::BatchWindow& b() { return *batchWindow; }
    QListWidget* list() { return batchWindow->fileList(); }
    void click(int command) { QTest::mouseClick(b().commandButton(command), Qt::LeftButton); }
    void select(std::initializer_list<int> entries)
    {
        for (int e : entries)
            QTest::mouseClick(list()->viewport(), Qt::LeftButton, Qt::ControlModifier,
                              list()->visualItemRect(list()->item(e)).center());
    }

    // The files applied so far, by base, in order: runs of writes from one file collapsed.
    std::vector<int> appliedBases() const
    {
        std::vector<int> bases;
        for (int code : tap->dacCodes()) {
            if (bases.empty() || bases.back() != code / 100)
                bases.push_back(code / 100);
        }
        return bases;
    }
    int triggers() const { return static_cast<int>(board->transmitted().size() / kTrigger.size()); }
    bool onlyTriggers() const { return board->transmitted() == kTrigger.repeated(triggers()); }

    // Calls fn from the event loop once the board has seen this many trigger blocks.
    void afterTriggers(int count, std::function<void()> fn)
    {
        auto* poll = new QTimer(batchWindow.get());
        QObject::connect(poll, &QTimer::timeout, poll, [this, poll, count, fn] {
            if (triggers() >= count) {
                // Stopped first: fn may start a run, and the deferred delete waits until that unwinds.
                poll->stop();
                poll->deleteLater();
                fn();
            }
        });
        poll->start(5);
    }

    QDir files{dir.filePath("sets")};
    std::unique_ptr<batch::BatchWindow> batchWindow;
};

TEST_F(BatchTest, OpeningReloadsSettingsAndListsTheRememberedDirectory)
{
    ASSERT_TRUE(QDir().mkpath(dir.filePath("sets/sub")));
    for (const char* name : {"c.csv", "B.csv", "a.csv", "notes.txt"})
        writeChannelFile(name, 100);
    writeChannelFile("sub/inner.csv", 100);
    startIn({});
    EXPECT_EQ(b().windowTitle(), "Run Batch");
    EXPECT_EQ(b().delayBox()->text(), "1");
    EXPECT_EQ(b().dirPath(), files.path());
    EXPECT_EQ(b().filePath(), files.path());
    EXPECT_EQ(b().step_pos, 0);
    ASSERT_EQ(list()->count(), 4);
    for (int i : {0, 1, 2, 3})
        EXPECT_EQ(list()->item(i)->text(), QStringList({"a.csv", "B.csv", "c.csv", "notes.txt"}).at(i));
    for (QWidget* child : b().findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(b().rect().contains(child->geometry())) << child->objectName().toStdString();

    // A change of directory in Dir1 moves File1 with it.
    const auto subs = b().dirList()->findItems("sub", Qt::MatchExactly | Qt::MatchRecursive);
    ASSERT_EQ(subs.size(), 1);
    const QRect where = b().dirList()->visualItemRect(subs.first());
    QTest::mouseClick(b().dirList()->viewport(), Qt::LeftButton, {}, where.center());
    QTest::keyClick(b().dirList(), Qt::Key_Return);
    EXPECT_EQ(b().filePath(), files.filePath("sub"));
    ASSERT_EQ(list()->count(), 1);
    EXPECT_EQ(list()->item(0)->text(), "inner.csv");

    // A bank switch not yet saved is undone by the next opening; a remembered directory that has gone
    // leaves the list where it was.
    QTest::mouseClick(w().a0Button(), Qt::LeftButton);
    ASSERT_EQ(model().a0_state, "1");
    bench->settings.save_default_dir(dir.filePath("gone"));
    batch::BatchWindow again(w());
    EXPECT_EQ(model().a0_state, "0");
    EXPECT_EQ(again.dirPath(), QDir::currentPath());
}

TEST_F(BatchTest, ContinuousRunRepeatsTheSelectionInListOrderUntilStopped)
{
    startIn({{"a.csv", 100}, {"b.csv", 200}, {"c.csv", 300}, {"d.csv", 400}});
    select({2, 0, 1});
    b().delayBox()->setText("0.05 s");
    QString shownWhenStopped;
    afterTriggers(7, [&] {
        shownWhenStopped = b().progressLabel()->text();
        click(2);
    });
    click(1); // returns when the run has ended
    EXPECT_EQ(appliedBases(), std::vector<int>({1, 2, 3, 1, 2, 3, 1}));
    EXPECT_EQ(triggers(), 7);
    EXPECT_TRUE(onlyTriggers());
    EXPECT_EQ(shownWhenStopped, "a.csv");
    EXPECT_EQ(chip().dacRegister(23), 124);
    EXPECT_TRUE(reports.isEmpty());

    // A second run nested inside the first: one stop ends both.
    tap->clear();
    afterTriggers(8, [&] { click(1); });
    afterTriggers(10, [&] { click(2); });
    click(1);
    EXPECT_EQ(triggers(), 10);

    // Nothing selected: the run applies nothing and waits for the stop.
    list()->clearSelection();
    QTimer::singleShot(50, batchWindow.get(), [&] { click(2); });
    click(1);
    EXPECT_EQ(triggers(), 10);
}

TEST_F(BatchTest, SingleStepsWrapAroundAndAClickRestartsFromTheFirstSelected)
{
    startIn({{"e0.csv", 100}, {"e1.csv", 200}, {"e2.csv", 300}, {"e3.csv", 400}, {"e4.csv", 500}});
    select({1, 3});
    b().step_pos = 1;
    b().list_clicked = 0;
    const auto step = [&](int command, int expectedEntry) {
        const int before = triggers();
        click(command);
        EXPECT_EQ(b().step_pos, expectedEntry);
        EXPECT_EQ(appliedBases().back(), expectedEntry + 1);
        EXPECT_EQ(b().progressLabel()->text(), QString("e%1.csv%1").arg(expectedEntry));
        EXPECT_EQ(triggers(), before + 1);
    };
    step(3, 3);
    step(3, 1);
    step(4, 3);
    select({4}); // would be next going down
    step(3, 1);
    step(4, 4);
    select({0});
    step(4, 0); // the search after a click runs forwards from the top whatever the direction
    EXPECT_TRUE(onlyTriggers());

    list()->clearSelection();
    click(3);
    click(4);
    EXPECT_EQ(triggers(), 6);
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(BatchTest, ABadFileIsReportedOnceAndEndsTheRunKeepingWhatWasApplied)
{
    startIn({{"a.csv", 100}, {"c.csv", 300}});
    writeChannelFile("b.csv", 200, 5); // channels 1..4 good, then a non-number
    b().setDirPath(files.path());
    select({0, 1, 2});
    b().delayBox()->setText("none");
    afterTriggers(3, [&] { click(2); }); // only reached if the run went on
    click(1);
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports.first().contains(files.filePath("b.csv")));
    EXPECT_EQ(triggers(), 1);
    EXPECT_EQ(appliedBases(), std::vector<int>({1, 2}));
    EXPECT_EQ(chip().dacRegister(3), 204);
    EXPECT_EQ(chip().dacRegister(4), 105);

    // A trigger that cannot be sent is reported the same way.
    reports.clear();
    board->close();
    click(3);
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports.first().contains(files.filePath("a.csv")));
}

TEST_F(BatchTest, ClosingTheWindowOrTheProgramDuringARunEndsIt)
{
    startIn({{"a.csv", 100}, {"b.csv", 200}});
    select({0, 1});
    // A delay far longer than the test: only the close can end the wait.
    b().delayBox()->setText("3600");
    b().hide();
    QTimer::singleShot(0, batchWindow.get(), [&] { click(1); });
    afterTriggers(1, [&] { QTest::keyClick(batchWindow.get(), Qt::Key_Escape); });
    EXPECT_EQ(b().exec(), QDialog::Rejected);
    EXPECT_EQ(triggers(), 1);

    // The program ending without any window being closed first, as after a fatal failure: the run must
    // let the event loops unwind.
    tap->clear();
    batch::BatchWindow second(w());
    second.fileList()->selectAll();
    second.delayBox()->setText("3600");
    bool runReturned = false;
    QTimer::singleShot(0, &second, [&] {
        second.show();
        QTest::mouseClick(second.commandButton(1), Qt::LeftButton);
        runReturned = true;
    });
    afterTriggers(2, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QCoreApplication::exec(), 1);
    EXPECT_TRUE(runReturned);
    EXPECT_EQ(triggers(), 2);
}

} // namespace
