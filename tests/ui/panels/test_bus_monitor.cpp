// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/main_window/app_fixture.h"

#include "bus/device.h"
#include "ui/bus_log.h"
#include "ui/bus_monitor.h"

#include <QCheckBox>
#include <QLabel>
#include <QTableView>

namespace {

class Monitor : public AppFixture {
protected:
    // Row r as the view shows it, the columns but the time joined by " | ".
    QString shown(int r)
    {
        QStringList cells;
        for (int c = ui::BusLog::Kind; c < ui::BusLog::kColumns; ++c)
            cells << w().busMonitor()->view()->model()->index(r, c).data().toString();
        return cells.join(" | ");
    }
};

TEST_F(Monitor, ListsWhatACommandDidFiltersCopiesAndSavesItAndStopsWatchingWhenClosed)
{
    startWith({{0, 0x1C8}});
    QTest::mouseClick(w().busMonitorButton(), Qt::LeftButton);
    ui::BusMonitor* m = w().busMonitor();
    QAbstractItemModel* rows = m->view()->model();
    EXPECT_EQ(rows->rowCount(), 0) << "nothing before it was opened";
    click("Command5"); // Read DAC: the probe, then a pointer write and a read per register
    typeInto(volt(1), "5");
    click("Command6");
    w().commands().post([this] { return w().openSelectedPort(); });
    settle();
    QCoreApplication::processEvents();
    // Read DAC; two writes typed; Reset's general call, reads and write-back of the rows it changed; the
    // line check and the probe of the port opened.
    ASSERT_EQ(rows->rowCount(), 51 + 2 + 1 + 50 + 2 + 2);
    EXPECT_EQ(shown(0), "presence probe | 0x74 W | E8 |  | ACK | ");
    EXPECT_EQ(shown(1), "pointer write | 0x74 W | E8 00 |  |  | ");
    EXPECT_EQ(shown(2), "read | 0x74 R | E9 | 01C8 |  | ");
    // The writes a typed voltage makes, the general call of a reset and the line check of a port pick.
    EXPECT_EQ(shown(51), "DAC write | 0x74 W | E8 01 80 00 |  |  | ");
    EXPECT_EQ(shown(53), "general call | 0x00 W | 00 06 |  |  | ");
    EXPECT_EQ(shown(rows->rowCount() - 2), "line check |  |  |  |  | lines OK");

    for (const bus::TransactionKind kind : {bus::TransactionKind::Read, bus::TransactionKind::PointerWrite})
        m->kindBox(kind)->setChecked(false);
    EXPECT_EQ(rows->rowCount(), 108 - 2 * 25 - 2 * 25);
    m->view()->selectRow(1);
    const QStringList copied = m->shownText(true).split('\n');
    ASSERT_EQ(copied.size(), 3);
    EXPECT_TRUE(copied[1].endsWith("\tDAC write\t0x74 W\tE8 01 80 00\t\t\t")) << copied[1].toStdString();
    const QString path = dir.filePath("bus.txt");
    m->saveText(path);
    EXPECT_TRUE(m->statusLabel()->text().endsWith("Saved to " + path + "."));
    EXPECT_EQ(QString::fromUtf8(scratch::Folder::read(file("bus.txt"))), m->shownText(false));
    file("blocker", ""); // a path below a regular file can never be created, even by root
    m->saveText(dir.filePath("blocker/bus.txt"));
    EXPECT_TRUE(m->statusLabel()->text().contains("Could not be saved to "))
        << m->statusLabel()->text().toStdString();

    m->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(w().busMonitor(), nullptr);
    click("Command5"); // nothing left watching: it would crash into a deleted log
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(Monitor, KeepsTheNewestTenThousand)
{
    startWith();
    QTest::mouseClick(w().busMonitorButton(), Qt::LeftButton);
    ui::BusLog& log = w().busMonitor()->log();
    QCoreApplication::processEvents();
    log.clear();
    // Each pointer write carries its number modulo 251, so the rows tell which transactions were kept.
    const auto write = [this](int n) {
        bench->engine().master().i2cWritePointer(bus::writeAddress("0"),
                                                 QString::number(n % 251, 2).rightJustified(8, '0'));
    };
    const auto bytes = [&log](int r) { return log.index(r, ui::BusLog::Bytes).data().toString(); };
    const auto pointer = [](int n) { return QString("E8 %1").arg(n % 251, 2, 16, QChar('0')).toUpper(); };
    const int total = 25000, kept = ui::BusLog::kKept;
    for (int n = 0; n < total; ++n)
        write(n);
    QCoreApplication::processEvents();
    EXPECT_EQ(log.seen(), total);
    ASSERT_EQ(log.rowCount(), kept);
    EXPECT_EQ(bytes(0), pointer(total - kept));
    EXPECT_EQ(bytes(kept - 1), pointer(total - 1));

    // Rows whose records were overwritten before the table caught up show nothing rather than newer ones.
    for (int n = total; n < total + 3; ++n)
        write(n);
    EXPECT_EQ(bytes(0), "");
    EXPECT_EQ(bytes(3), pointer(total - kept + 3));
    QCoreApplication::processEvents();
    EXPECT_EQ(log.rowCount(), kept);
    EXPECT_EQ(bytes(kept - 1), pointer(total + 2));
}

} // namespace
