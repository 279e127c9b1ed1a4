// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// Start-up as a user meets it: from the start of main() to the main window shown with the chip's values
// (settings, port scan and open, the first read of the simulated board), then the resident memory.
#include "app/bench.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char** argv)
{
    QElapsedTimer clock;
    clock.start();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    auto bench = app::Bench::simulated(dir.filePath(QStringLiteral("KRM72340.ini")));
    ui::MainWindow window(*bench);
    window.load();
    window.show();
    QApplication::processEvents();
    const qint64 shownMs = clock.elapsed();

    QFile status(QStringLiteral("/proc/self/status"));
    QByteArray rss = "?";
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                rss = line.mid(6).trimmed();
    std::printf("start-up to shown window: %lld ms (of which the first read's wait: 100 ms)\n", shownMs);
    std::printf("resident memory after start-up: %s\n", rss.constData());
    return 0;
}
