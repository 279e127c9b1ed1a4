// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app/bench.h"
#include "bench_setup.h"
#include "board_state.h"
#include "command_line.h"
#include "model/settings_store.h"
#include "runner.h"
#include "serial/serial_port.h"
#include "session.h"
#include "sim/simulated_board.h"
#include "stop_signals.h"
#include "text_report.h"

#include <QCoreApplication>
#include <QJsonArray>
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

QByteArray jsonLine(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

// Text or JSON on stdout, warnings on stderr; a batch's lines go out as each file is applied, a session's
// answers as each command is done.
class Output : public cli::Progress, public cli::Answers {
public:
    explicit Output(const cli::Request& request)
        : json_(request.json), batch_(request.command == cli::Command::Batch),
          session_(request.command == cli::Command::Session)
    {
    }

    void warning(const QString& text) override { printError(QStringLiteral("warning: ") + text); }
    void applied(const QJsonObject& entry) override
    {
        if (!session_)
            printOut(json_ ? jsonLine(entry) : cli::batchLine(entry).toLocal8Bit());
    }
    void answer(bool ok, const QJsonObject& answer) override
    {
        if (!json_) {
            printOut(cli::sessionLine(ok, answer).toLocal8Bit());
            return;
        }
        // "ok" first, for a reader's eye: the document's own keys come sorted.
        const QByteArray rest = jsonLine(answer);
        printOut((ok ? "{\"ok\":true" : "{\"ok\":false") +
                 (rest.size() > 3 ? "," + rest.mid(1) : rest.mid(1)));
    }
    void result(const QJsonObject& result) const
    {
        if (json_)
            printOut(batch_ ? jsonLine(result) : QJsonDocument(result).toJson(QJsonDocument::Indented));
        else
            printOut(cli::textReport(result).toLocal8Bit());
    }
    // The last line of a --json batch that failed or was stopped in the middle of a file, so that the
    // record of what went out survives it.
    void batchEnded(const QString& end, const QString& error, int status, const QList<int>& written) const
    {
        if (!json_ || !batch_)
            return;
        QJsonArray channels;
        for (int n : written)
            channels.append(n);
        printOut(jsonLine({{QStringLiteral("command"), QStringLiteral("batch")},
                           {QStringLiteral("end"), end},
                           {QStringLiteral("error"), error},
                           {QStringLiteral("status"), status},
                           {QStringLiteral("written"), channels}}));
    }

private:
    bool json_;
    bool batch_;
    bool session_;
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
    auto* board = dynamic_cast<sim::SimulatedBoard*>(&bench->engine().device());
    if (board && !request.statePath.isEmpty()) {
        try {
            cli::loadBoardState(request.statePath, *board);
        } catch (const cli::UsageError& e) {
            printError(e.text());
            return 1;
        }
    }
    cli::StopSignals::attach(&bench->engine().interrupter());
    Output output(request);
    int status = 0;
    try {
        cli::Runner runner(*bench, request, lockDir, output);
        if (request.command == cli::Command::Session) {
            runner.start();
            status = cli::runSession(runner, request, STDIN_FILENO, output, bench->engine().interrupter());
            if (cli::StopSignals::caught() != 0)
                printError(
                    QStringLiteral("stopped by %1: the session ended").arg(cli::StopSignals::caughtName()));
            else if (status != 0)
                printError(QStringLiteral("the session ended: the port is gone"));
        } else {
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
        }
    } catch (const cli::UsageError& e) {
        printError(e.text());
        status = 1;
    } catch (const cli::Failure& e) {
        output.batchEnded(QStringLiteral("failed"), e.text(), e.status(), e.written());
        printError(e.text());
        status = e.status();
    } catch (const cli::Stopped& e) {
        const QString text = QStringLiteral("stopped by %1 %2").arg(cli::StopSignals::caughtName(), e.text());
        output.batchEnded(QStringLiteral("stopped"), text, 128 + cli::StopSignals::caught(), {});
        printError(text);
    }
    cli::StopSignals::attach(nullptr);
    const std::optional<QString> traceLost = bench->engine().traceFailure();
    // Whatever the run did to the chips, the next run finds, as a real board keeps it.
    const std::optional<QString> stateLost =
        board && !request.statePath.isEmpty() ? cli::saveBoardState(request.statePath, *board) : std::nullopt;
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
    if (stateLost)
        failed(*stateLost);
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
