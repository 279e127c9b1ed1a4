// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app/bench.h"
#include "files/names.h"
#include "model/numbers.h"
#include "model/settings_store.h"
#include "serial/serial_port.h"
#include "ui/main_window.h"
#include "ui/shutdown_signals.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

// The program state a last-moment exit still saves: a lost display connection ends the program from inside
// Qt with exit(), past every close handler.
app::Bench* savedAtExit = nullptr;

void saveAtExit()
{
    if (!savedAtExit)
        return;
    if (const auto failure = savedAtExit->saveSettings())
        std::fprintf(stderr, "krm59340: %s\n", qPrintable(*failure));
    if (const auto failure = savedAtExit->engine().traceFailure())
        std::fprintf(stderr, "krm59340: %s\n", qPrintable(*failure));
}

} // namespace

int main(int argc, char** argv)
{
    using namespace std::chrono_literals;
    QCoreApplication::setApplicationName(QStringLiteral("krm59340"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KRM_VERSION_TEXT));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Bench program for the KRM59340 reference-voltage chip, driven over a serial port's "
                       "modem lines."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption simulate(
        QStringLiteral("simulate"), QStringLiteral("Use the built-in simulated board as COM1 instead of the "
                                                   "serial devices of this machine."));
    const QCommandLineOption busTrace(
        QStringLiteral("bus-trace"),
        QStringLiteral("Record every line request of the run to <file> as a value "
                       "change dump (scl, sda)."),
        QStringLiteral("file"));
    const QCommandLineOption lineLatency(
        QStringLiteral("line-latency"),
        QStringLiteral("With --simulate: every line request takes <duration> (for example 1ms, as on a USB "
                       "adapter)."),
        QStringLiteral("duration"));
    parser.addOption(simulate);
    parser.addOption(lineLatency);
    parser.addOption(busTrace);

    // QApplication needs a display and aborts without one; help and version need none, so they are answered
    // before it exists. A command line only QApplication understands (-platform ...) is left to it.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (parser.parse(arguments) && (parser.isSet(help) || parser.isSet(version))) {
        const QCoreApplication core(argc, argv);
        parser.process(core); // prints and ends the program
    }

    QApplication app(argc, argv);
    // Lets the desktop match the window to the installed entry (and its icon) under Wayland.
    QApplication::setDesktopFileName(QStringLiteral("org.krm59340.krm59340"));
    QIcon icon;
    for (int size : {32, 48, 128, 256})
        icon.addFile(QStringLiteral(":/icons/krm59340-%1.png").arg(size));
    QApplication::setWindowIcon(icon);
    parser.process(app);
    std::optional<std::chrono::nanoseconds> latency;
    if (parser.isSet(lineLatency)) {
        latency = model::parse_latency(parser.value(lineLatency));
        if (!latency || !parser.isSet(simulate)) {
            std::fprintf(
                stderr,
                "krm59340: --line-latency takes a duration of at most 1 s such as 1ms, with --simulate\n");
            return 1;
        }
    }

    const QString settingsPath = model::SettingsStore::defaultPath();
    std::unique_ptr<app::Bench> bench;
    QList<QByteArray> raw;
    for (int i = 0; i < argc; ++i)
        raw << argv[i];
    const QByteArray tracePath =
        parser.isSet(busTrace) ? files::rawArgument(parser.value(busTrace), raw) : QByteArray();
    try {
        bench = parser.isSet(simulate) ? app::Bench::simulated(settingsPath, tracePath, latency.value_or(0ns))
                                       : app::Bench::forSystem(settingsPath, tracePath);
    } catch (const serial::PortError& e) {
        std::fprintf(stderr, "krm59340: %s\n", qPrintable(e.text()));
        return 2;
    }

    // The window comes up at once; the start-up (port, line check, the first read of the chip) runs with it
    // on screen, however slow the adapter.
    ui::MainWindow window(*bench);
    window.show();
    QTimer::singleShot(0, &window, &ui::MainWindow::load);
    const ui::ShutdownSignals fromOutside([&window] { window.requestShutdown(); });
    savedAtExit = bench.get();
    std::atexit(saveAtExit);
    const int status = QApplication::exec();
    savedAtExit = nullptr;
    // A trace cut short may have been reported in a message box long ago; a scripted run sees it here.
    if (const auto failure = bench->engine().traceFailure())
        std::fprintf(stderr, "krm59340: %s\n", qPrintable(*failure));
    return status;
}
