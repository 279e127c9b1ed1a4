// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "session.h"

#include "bus/interrupter.h"
#include "command_line.h"
#include "runner.h"
#include "stop_signals.h"

#include <QJsonArray>

#include <cerrno>
#include <cstring>
#include <optional>
#include <unistd.h>

namespace cli {

namespace {

QJsonObject failed(const QString& command, const QString& error, int status, const QList<int>& written = {})
{
    QJsonObject answer{{QStringLiteral("error"), error}, {QStringLiteral("status"), status}};
    if (!command.isEmpty())
        answer.insert(QStringLiteral("command"), command);
    if (!written.isEmpty()) {
        QJsonArray channels;
        for (int n : written)
            channels.append(n);
        answer.insert(QStringLiteral("written"), channels);
    }
    return answer;
}

// The input's lines as they come, each given out once it is complete (or the input ends).
class LineReader {
public:
    LineReader(int fd, const bus::Interrupter& interrupter) : fd_(fd), interrupter_(interrupter) {}

    enum class Got { Line, End, Stopped, Error };
    Got next(QByteArray& line)
    {
        for (;;) {
            const qsizetype newline = pending_.indexOf('\n');
            if (newline >= 0 || (ended_ && !pending_.isEmpty())) {
                const qsizetype size = newline >= 0 ? newline + 1 : pending_.size();
                line = pending_.left(newline >= 0 ? newline : size);
                pending_.remove(0, size);
                return Got::Line;
            }
            if (ended_)
                return Got::End;
            if (!StopSignals::waitReadable(fd_, interrupter_))
                return Got::Stopped;
            char buffer[4096];
            const ssize_t got = ::read(fd_, buffer, sizeof buffer);
            if (got < 0 && errno != EINTR && errno != EAGAIN) {
                error_ = QString::fromLocal8Bit(std::strerror(errno));
                return Got::Error;
            }
            if (got == 0)
                ended_ = true;
            else if (got > 0)
                pending_.append(buffer, got);
        }
    }
    const QString& error() const { return error_; }

private:
    int fd_;
    const bus::Interrupter& interrupter_;
    QByteArray pending_;
    bool ended_ = false;
    QString error_;
};

} // namespace

int runSession(Runner& runner, const Request& session, int input, Answers& answers,
               const bus::Interrupter& interrupter)
{
    LineReader reader(input, interrupter);
    QByteArray line;
    for (;;) {
        switch (reader.next(line)) {
        case LineReader::Got::Line:
            break;
        case LineReader::Got::End:
        case LineReader::Got::Stopped:
            return 0;
        case LineReader::Got::Error:
            answers.answer(false, failed({}, QStringLiteral("stdin: %1").arg(reader.error()), 2));
            return 2;
        }
        std::optional<Request> command;
        const QString text = QString::fromUtf8(line).trimmed();
        try {
            command = parseSessionLine(session, text);
            if (!command)
                continue;
            if (command->command == Command::Quit) {
                answers.answer(true, QJsonObject{{QStringLiteral("command"), command->commandName}});
                return 0;
            }
            const Outcome outcome = runner.next(*command);
            QJsonObject answer = outcome.result;
            if (outcome.stopped) {
                answer.insert(
                    QStringLiteral("error"),
                    QStringLiteral("stopped by %1 %2").arg(StopSignals::caughtName(), outcome.message));
                answer.insert(QStringLiteral("status"), 128 + StopSignals::caught());
            } else if (outcome.status != 0)
                answer = failed(command->commandName, outcome.message, outcome.status);
            answers.answer(outcome.status == 0 && !outcome.stopped, answer);
        } catch (const UsageError& e) {
            answers.answer(false, failed(text.section(QLatin1Char(' '), 0, 0), e.text(), 1));
        } catch (const Failure& e) {
            answers.answer(false, failed(command->commandName, e.text(), e.status(), e.written()));
            if (runner.portGone())
                return 2;
        } catch (const Stopped& e) {
            answers.answer(false,
                           failed(command->commandName,
                                  QStringLiteral("stopped by %1 %2").arg(StopSignals::caughtName(), e.text()),
                                  128 + StopSignals::caught()));
            return 0;
        }
        if (interrupter.requested())
            return 0;
    }
}

} // namespace cli
