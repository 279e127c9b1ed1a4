// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/main_window/app_fixture.h"

#include "bus/device.h"
#include "support/qstring_printer.h"
#include "ui/bus_log.h"
#include "ui/bus_monitor.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QSignalSpy>
#include <QTableView>

namespace {

class Monitor : public AppFixture {
protected:
    ui::BusMonitor* open()
    {
        QTest::mouseClick(w().busMonitorButton(), Qt::LeftButton);
        return w().busMonitor();
    }
    // Row r as the view shows it, the columns joined by " | ".
    static QString row(const ui::BusMonitor* m, int r)
    {
        QStringList cells;
        for (int c = 0; c < ui::BusLog::kColumns; ++c)
            cells << m->view()->model()->index(r, c).data().toString();
        return cells.mid(1).join(" | "); // the time aside
    }
    static void settle() { QCoreApplication::processEvents(); }
};

TEST_F(Monitor, ListsWhatACommandDidFiltersByKindAndStopsWatchingWhenClosed)
{
    startWith({{0, 0x1C8}});
    ui::BusMonitor* m = open();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->view()->model()->rowCount(), 0) << "nothing before it was opened";

    click("Command5"); // Read DAC: the probe, then a pointer write and a read per register
    settle();
    QTableView* view = m->view();
    ASSERT_EQ(view->model()->rowCount(), 51);
    EXPECT_EQ(row(m, 0), "presence probe | 0x74 W | E8 |  | ACK | ");
    EXPECT_EQ(row(m, 1), "pointer write | 0x74 W | E8 00 |  |  | ");
    EXPECT_EQ(row(m, 2), "read | 0x74 R | E9 | 01C8 |  | ");
    EXPECT_EQ(row(m, 50), "read | 0x74 R | E9 | 0000 |  | ");

    // The write a typed voltage makes, the general call of a reset and the line check of a port pick.
    typeInto(volt(1), "5");
    click("Command6");
    bench->link.OpenSelectedPort();
    settle();
    const int before = 51;
    const QStringList expected = {
        "DAC write | 0x74 W | E8 01 80 00 |  |  | ",
        "DAC write | 0x74 W | E8 01 82 00 |  |  | ",
        "general call | 0x00 W | 00 06 |  |  | ",
    };
    for (int k = 0; k < expected.size(); ++k)
        EXPECT_EQ(row(m, before + k), expected[k]);
    const int all = view->model()->rowCount();
    EXPECT_EQ(row(m, all - 2), "line check |  |  |  |  | lines OK");
    EXPECT_EQ(row(m, all - 1), "presence probe | 0x74 W | E8 |  | ACK | ");

    for (const bus::TransactionKind kind : {bus::TransactionKind::Read, bus::TransactionKind::PointerWrite})
        m->kindBox(kind)->setChecked(false);
    EXPECT_EQ(view->model()->rowCount(), all - 2 * 25 - 2 * 25);
    EXPECT_EQ(row(m, 0), "presence probe | 0x74 W | E8 |  | ACK | ");
    view->selectRow(1);
    const QStringList copied = m->shownText(true).split('\n');
    ASSERT_EQ(copied.size(), 3);
    EXPECT_EQ(copied[0], "Time\tKind\tAddress\tBytes\tWord\tAcknowledge\tLines");
    EXPECT_TRUE(copied[1].endsWith("\tDAC write\t0x74 W\tE8 01 80 00\t\t\t")) << copied[1].toStdString();

    m->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(w().busMonitor(), nullptr);
    click("Command5"); // nothing left watching: it would crash into a deleted log
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(Monitor, KeepsTheNewestTenThousandAndCatchesUpInBatches)
{
    startWith();
    ui::BusMonitor* m = open();
    ASSERT_NE(m, nullptr);
    settle();
    m->log().clear();
    QSignalSpy inserted(&m->log(), &QAbstractItemModel::rowsInserted);
    // Each pointer write carries its number modulo 251, so the rows tell which transactions were kept.
    const int total = 25000;
    for (int n = 0; n < total; ++n)
        bench->i2c.i2cWritePointer(bus::writeAddress("0"),
                                   QString::number(n % 251, 2).rightJustified(8, '0'));
    settle();
    // In a few steps (the window breathes during long bus work, and once more after it), never one per
    // transaction.
    EXPECT_GE(inserted.size(), 1);
    EXPECT_LT(inserted.size(), 100);
    EXPECT_EQ(m->log().seen(), total);
    ASSERT_EQ(m->log().rowCount(), ui::BusLog::kKept);
    const auto bytesOf = [m](int r) { return m->log().index(r, ui::BusLog::Bytes).data().toString(); };
    EXPECT_EQ(bytesOf(0),
              QString("E8 %1").arg((total - ui::BusLog::kKept) % 251, 2, 16, QChar('0')).toUpper());
    EXPECT_EQ(bytesOf(ui::BusLog::kKept - 1),
              QString("E8 %1").arg((total - 1) % 251, 2, 16, QChar('0')).toUpper());
    EXPECT_TRUE(m->statusLabel()->text().startsWith("25,000 transactions since opened or cleared; the last "
                                                    "10,000 kept, 10,000 shown."))
        << m->statusLabel()->text().toStdString();

    // Rows whose records were overwritten before the table caught up show nothing rather than newer ones.
    for (int n = 0; n < 3; ++n)
        bench->i2c.i2cWritePointer(bus::writeAddress("0"), "00000000");
    EXPECT_EQ(bytesOf(0), "");
    EXPECT_EQ(bytesOf(3),
              QString("E8 %1").arg((total - ui::BusLog::kKept + 3) % 251, 2, 16, QChar('0')).toUpper());
    settle();
    EXPECT_EQ(m->log().rowCount(), ui::BusLog::kKept);
    EXPECT_EQ(bytesOf(ui::BusLog::kKept - 1), "E8 00");
}

TEST_F(Monitor, SavesWhatItShowsAsTextAndSaysWhenItCannot)
{
    startWith();
    ui::BusMonitor* m = open();
    click("Command5");
    settle();
    const QString path = dir.filePath("bus.txt");
    m->saveText(path);
    EXPECT_TRUE(m->statusLabel()->text().endsWith(QString("Saved to %1.").arg(path)));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(file.readAll()), m->shownText(false));

    QFile blocker(dir.filePath("blocker")); // a path below a regular file can never be created, even by root
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    m->saveText(dir.filePath("blocker/bus.txt"));
    EXPECT_TRUE(m->statusLabel()->text().contains(
        QString("Could not be saved to %1: ").arg(dir.filePath("blocker/bus.txt"))))
        << m->statusLabel()->text().toStdString();
}

} // namespace
