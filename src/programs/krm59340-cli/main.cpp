// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app/bench.h"
#include "bench_setup.h"
#include "command_line.h"
#include "model/settings_store.h"
#include "runner.h"
#include "serial/serial_port.h"
#include "stop_signals.h"
#include "text_report.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <cstdio>

namespace {

void printOut(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void printError(const QString& text)
{
    std::fprintf(stderr, "krm59340-cli: %s\n", text.toLocal8Bit().constData());
}

// Text or JSON on stdout, warnings on stderr; a batch's lines go out as each file is applied.
class Output : public cli::Progress {
public:
    explicit Output(bool json) : json_(json) {}

    void warning(const QString& text) override { printError(QStringLiteral("warning: ") + text); }
    void applied(const QJsonObject& entry) override
    {
        if (!json_)
            printOut(cli::batchLine(entry).toLocal8Bit());
    }
    void result(const QJsonObject& result) const
    {
        printOut(json_ ? QJsonDocument(result).toJson(QJsonDocument::Indented)
                       : cli::textReport(result).toLocal8Bit());
    }

private:
    bool json_;
};

int run(const QStringList& arguments, const QList<QByteArray>& raw)
{
    cli::Invocation invocation;
    try {
        invocation = cli::parseCommandLine(arguments, raw);
    } catch (const cli::UsageError& e) {
        printError(e.text());
        return 1;
    }
    if (!invocation.print.isEmpty()) {
        printOut(invocation.print.toLocal8Bit());
        return 0;
    }
    const cli::Request& request = invocation.request;
    const QString lockDir = cli::lockDirectory();
    std::unique_ptr<app::Bench> bench;
    try {
        bench = cli::makeBench(request, model::SettingsStore::defaultPath(), lockDir);
    } catch (const serial::PortError& e) {
        printError(e.text());
        return 2;
    }
    cli::StopSignals::attach(&bench->engine().interrupter());
    Output output(request.json);
    int status = 0;
    try {
        cli::Runner runner(*bench, request, lockDir, output);
        const cli::Outcome outcome = runner.run();
        output.result(outcome.result);
        status = outcome.status;
        if (outcome.stopped)
            printError(
                QStringLiteral("stopped by %1 %2").arg(cli::StopSignals::caughtName(), outcome.message));
        else if (!outcome.message.isEmpty())
            printError(outcome.message);
        else if (cli::StopSignals::caught() != 0)
            printError(QStringLiteral("%1 came while %2 ran, which finished first")
                           .arg(cli::StopSignals::caughtName(), request.commandName));
    } catch (const cli::UsageError& e) {
        printError(e.text());
        status = 1;
    } catch (const cli::Failure& e) {
        printError(e.text());
        status = e.status();
    } catch (const cli::Stopped& e) {
        printError(QStringLiteral("stopped by %1 %2").arg(cli::StopSignals::caughtName(), e.text()));
    }
    cli::StopSignals::attach(nullptr);
    // The port and its lock are given back and the trace completed before a caught signal ends the program.
    bench.reset();
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    cli::StopSignals::install();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("krm59340-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KRM_VERSION_TEXT));
    QList<QByteArray> raw;
    for (int i = 0; i < argc; ++i)
        raw << argv[i];
    const int status = run(QCoreApplication::arguments(), raw);
    if (cli::StopSignals::caught() != 0)
        cli::StopSignals::endByCaughtSignal();
    return status;
}
