// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/main_window/app_fixture.h"

#include "serial/port_catalog.h"
#include "support/recording_port.h"
#include "ui/batch_window.h"
#include "ui/port_dialog.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

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
