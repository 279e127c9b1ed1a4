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

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace {

// Why the output could not be written, once it could not: a script reading a cut or empty result as a
// finished run would be misled.
std::optional<QString> outputFailure;

void printOut(const QByteArray& bytes)
{
    if (outputFailure)
        return;
    errno = 0;
    const bool written =
        std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout) == std::size_t(bytes.size());
    if (std::fflush(stdout) != 0 || !written || std::ferror(stdout))
        outputFailure = QString::fromLocal8Bit(std::strerror(errno != 0 ? errno : EIO));
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
    const std::optional<QString> traceLost = bench->engine().traceFailure();
    // The port and its lock are given back and the trace completed before a caught signal ends the program.
    bench.reset();
    const auto failed = [&status](QString text) {
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        printError(text);
        if (status == 0)
            status = 2;
    };
    if (traceLost)
        failed(*traceLost);
    if (outputFailure)
        failed(QStringLiteral("the output could not be written: %1").arg(*outputFailure));
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    // A closed standard stream would be handed to the first file opened (the trace, a lock) and the output
    // would land in it; a descriptor that takes no writes fills the gap, and writing fails instead.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            ::open("/dev/null", O_RDONLY | O_CLOEXEC);
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
