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
#include <QRegularExpression>
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
                       "adapter, or 0.001 seconds)."),
        QStringLiteral("duration"));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral(
            "For this run, the port <port> instead of the stored one: COM1..COM16, a serial device "
            "such as /dev/ttyUSB0, an FTDI adapter in synchronous bit-bang (ftdi:// or "
            "ftdi://SERIAL) or a kernel I2C adapter such as /dev/i2c-1."),
        QStringLiteral("port"));
    const QCommandLineOption triggerPort(
        QStringLiteral("trigger-port"),
        QStringLiteral("Send the batch's trigger block on serial port <port> (COM1..COM16 or a device) "
                       "instead of the bus port's transmit line (default: the [Trigger] Port setting)."),
        QStringLiteral("port"));
    parser.addOption(simulate);
    parser.addOption(lineLatency);
    parser.addOption(busTrace);
    parser.addOption(port);
    parser.addOption(triggerPort);

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
    // A COM name picks that number; a device is added to the mapping for this run if no name maps to it.
    const QString portGiven = parser.value(port);
    static const QRegularExpression comName(QStringLiteral("^[Cc][Oo][Mm](\\d{1,2})$"));
    const QRegularExpressionMatch com = comName.match(portGiven);
    const bool device = parser.isSet(port) && !com.hasMatch();
    if (parser.isSet(port) &&
        ((com.hasMatch() && (com.captured(1).toInt() < 1 || com.captured(1).toInt() > serial::kLastPort)) ||
         (device && (parser.isSet(simulate) || !(portGiven.startsWith(QLatin1Char('/')) ||
                                                 portGiven.startsWith(QLatin1String("ftdi://"))))))) {
        std::fprintf(stderr, "krm59340: --port takes COM1..COM16, or a device (/dev/ttyUSB0, ftdi://SERIAL, "
                             "/dev/i2c-1) without --simulate\n");
        return 1;
    }
    try {
        bench = parser.isSet(simulate)
                    ? app::Bench::simulated(settingsPath, tracePath, latency.value_or(0ns))
                    : app::Bench::forSystem(settingsPath, tracePath, serial::UucpLock::defaultDir(),
                                            device ? portGiven : QString());
    } catch (const serial::PortError& e) {
        std::fprintf(stderr, "krm59340: %s\n", qPrintable(e.text()));
        return 2;
    }
    if (parser.isSet(port))
        bench->setPortOverride(static_cast<qint16>(
            device ? app::Bench::portOfDevice(*bench->catalog(), portGiven) : com.captured(1).toInt()));
    bench->engine().setTriggerPort(parser.isSet(triggerPort) ? parser.value(triggerPort)
                                                             : bench->settings().triggerPort());

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
