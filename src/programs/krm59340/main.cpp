// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app/bench.h"
#include "model/settings_store.h"
#include "serial/serial_port.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>

#include <cstdio>

int main(int argc, char** argv)
{
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
    parser.addOption(simulate);
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
    QIcon icon;
    for (int size : {32, 48, 128, 256})
        icon.addFile(QStringLiteral(":/icons/krm59340-%1.png").arg(size));
    QApplication::setWindowIcon(icon);
    parser.process(app);

    const QString settingsPath = model::SettingsStore::defaultPath();
    std::unique_ptr<app::Bench> bench;
    try {
        bench = parser.isSet(simulate) ? app::Bench::simulated(settingsPath, parser.value(busTrace))
                                       : app::Bench::forSystem(settingsPath, parser.value(busTrace));
    } catch (const serial::PortError& e) {
        std::fprintf(stderr, "krm59340: %s\n", qPrintable(e.text()));
        return 2;
    }

    ui::MainWindow window(*bench);
    window.load();
    window.show();
    return QApplication::exec();
}
