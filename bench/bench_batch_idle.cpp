// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// CPU used while a batch run waits: a continuous run with nothing selected, and one whose single file is
// followed by a long delay. Both must sleep in the event loop; prints the share of one core each costs.
#include "app/bench.h"
#include "model/channel_file.h"
#include "ui/batch_window.h"
#include "ui/commands.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {

double seconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void measure(const char* what, ui::MainWindow& window, ui::BatchWindow& batch, double runSeconds)
{
    QTimer::singleShot(static_cast<int>(runSeconds * 1000), &batch,
                       [&batch] { batch.commandButton(2)->click(); });
    const double wall0 = seconds(CLOCK_MONOTONIC);
    const double cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
    batch.commandButton(1)->click();
    // Until the stop has been seen.
    while (window.commands().busy())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    const double wall = seconds(CLOCK_MONOTONIC) - wall0;
    std::printf("%s: %.2f s, %.2f ms CPU, %.3f %% of one core\n", what, wall, cpu * 1e3, 100.0 * cpu / wall);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    auto bench = app::Bench::simulated(dir.filePath(QStringLiteral("KRM72340.ini")));
    bench->settings().save_default_dir(dir.path() + QStringLiteral("/"));
    model::save_channel_file(QFile::encodeName(dir.filePath(QStringLiteral("set.csv"))), bench->channels());
    // The simulated board, so the trigger blocks have somewhere to go.
    bench->engine().perform(engine::OpenPort{1, 9600, QStringLiteral("0")});
    ui::MainWindow window(*bench);
    ui::BatchWindow batch(window);
    batch.show();

    batch.fileList()->clearSelection();
    measure("run with nothing selected", window, batch, 3);
    for (int i = 0; i < batch.fileList()->count(); ++i)
        batch.fileList()->item(i)->setSelected(batch.fileList()->item(i)->text() ==
                                               QStringLiteral("set.csv"));
    batch.delayBox()->setText(QStringLiteral("10"));
    measure("run waiting out a 10 s delay", window, batch, 3);
    return 0;
}
