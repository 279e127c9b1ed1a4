// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "text_report.h"

#include "model/numbers.h"

#include <QJsonArray>
#include <QList>
#include <QStringList>

#include <algorithm>

namespace cli {

namespace {

// Columns padded to their widest cell, numbers flush right, the last column not padded.
QString table(const QList<QStringList>& rows, const QList<bool>& rightAligned)
{
    QList<qsizetype> widths(rightAligned.size(), 0);
    for (const QStringList& row : rows)
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    QString text;
    for (const QStringList& row : rows) {
        QStringList cells;
        for (qsizetype c = 0; c < row.size(); ++c) {
            if (rightAligned[c])
                cells << row[c].rightJustified(widths[c]);
            else
                cells << (c + 1 < row.size() ? row[c].leftJustified(widths[c]) : row[c]);
        }
        text += cells.join(QStringLiteral("  ")) + QLatin1Char('\n');
    }
    return text;
}

QString channelTable(const QJsonArray& channels)
{
    QList<QStringList> rows{
        {QStringLiteral("channel"), QStringLiteral("code"), QStringLiteral("hex"), QStringLiteral("volts")}};
    for (const QJsonValue& value : channels) {
        const QJsonObject channel = value.toObject();
        rows << QStringList{QString::number(channel[QStringLiteral("channel")].toInt()),
                            QString::number(channel[QStringLiteral("code")].toInt()),
                            channel[QStringLiteral("hex")].toString(),
                            channel[QStringLiteral("volts")].isDouble()
                                ? model::volt_text(channel[QStringLiteral("volts")].toDouble())
                                : QStringLiteral("-")};
    }
    return table(rows, {true, true, true, true});
}

QString where(const QJsonObject& result)
{
    const QString device = result[QStringLiteral("device")].toString();
    const QString port = result[QStringLiteral("port")].toString();
    return QStringLiteral("reference %1 V, A0 = %2 (%3), %4")
        .arg(model::number_text(result[QStringLiteral("reference")].toDouble()))
        .arg(result[QStringLiteral("a0")].toInt())
        .arg(result[QStringLiteral("address")].toString(),
             result[QStringLiteral("simulated")].toBool()
                 ? port + QStringLiteral(" (simulated board)")
                 : (device.isEmpty() ? port : QStringLiteral("%1 (%2)").arg(port, device)));
}

QString portsReport(const QJsonArray& ports)
{
    if (ports.isEmpty())
        return QStringLiteral("no ports found (a [Ports] section in the settings names more)\n");
    QList<QStringList> rows{{QString(), QStringLiteral("name"), QStringLiteral("device"),
                             QStringLiteral("adapter"), QStringLiteral("state")}};
    for (const QJsonValue& value : ports) {
        const QJsonObject port = value.toObject();
        QString state = port[QStringLiteral("state")].toString();
        const QJsonObject holder = port[QStringLiteral("holder")].toObject();
        if (!holder.isEmpty())
            state += QStringLiteral(" by %1 (process %2)")
                         .arg(holder[QStringLiteral("name")].toString(QStringLiteral("another program")))
                         .arg(holder[QStringLiteral("pid")].toInteger());
        if (port.contains(QStringLiteral("group")))
            state += QStringLiteral(": join the group %1").arg(port[QStringLiteral("group")].toString());
        if (port.contains(QStringLiteral("reason")))
            state += QStringLiteral(": %1").arg(port[QStringLiteral("reason")].toString());
        rows << QStringList{port[QStringLiteral("selected")].toBool() ? QStringLiteral("*") : QString(),
                            port[QStringLiteral("name")].toString(QStringLiteral("-")),
                            port[QStringLiteral("device")].toString(QStringLiteral("-")),
                            port[QStringLiteral("adapter")].toString(), state};
    }
    const bool selected = std::any_of(ports.begin(), ports.end(), [](const QJsonValue& port) {
        return port.toObject()[QStringLiteral("selected")].toBool();
    });
    return table(rows, {false, false, false, false, false}) +
           (selected ? QStringLiteral("(* the port the other commands use)\n") : QString());
}

QString probeReport(const QJsonObject& result)
{
    QList<QStringList> rows{{QStringLiteral("bus"), result[QStringLiteral("lines")].toString()}};
    for (const QJsonValue& value : result[QStringLiteral("chips")].toArray()) {
        const QJsonObject chip = value.toObject();
        rows << QStringList{
            chip[QStringLiteral("address")].toString(),
            QStringLiteral("%1 (A0 = %2%3)")
                .arg(chip[QStringLiteral("answers")].toBool() ? QStringLiteral("chip answers")
                                                              : QStringLiteral("no chip answers"))
                .arg(chip[QStringLiteral("a0")].toInt())
                .arg(chip[QStringLiteral("in_use")].toBool() ? QStringLiteral(", in use") : QString())};
    }
    return table(rows, {false, false}) + where(result) + QLatin1Char('\n');
}

} // namespace

QString textReport(const QJsonObject& result)
{
    const QString command = result[QStringLiteral("command")].toString();
    if (command == QLatin1String("ports"))
        return portsReport(result[QStringLiteral("ports")].toArray());
    if (command == QLatin1String("probe"))
        return probeReport(result);
    if (command == QLatin1String("batch"))
        return {};
    if (command == QLatin1String("trigger"))
        return QStringLiteral("sent %1; %2\n").arg(result[QStringLiteral("sent")].toString(), where(result));

    QString text = channelTable(
        result[command == QLatin1String("otp") ? QStringLiteral("burnt") : QStringLiteral("channels")]
            .toArray());
    if (command == QLatin1String("otp")) {
        // The reset reloaded every register: what the chip holds now, and what moved.
        text += QStringLiteral("\nafter the reset:\n") +
                channelTable(result[QStringLiteral("channels")].toArray());
        QStringList changed;
        for (const QJsonValue& n : result[QStringLiteral("changed")].toArray())
            changed << QString::number(n.toInt());
        text += QStringLiteral("changed channels: %1\n")
                    .arg(changed.isEmpty() ? QStringLiteral("none") : changed.join(QStringLiteral(", ")));
        text += QStringLiteral("bank status %1 (%2 before)\n")
                    .arg(result[QStringLiteral("bank_status")].toInt())
                    .arg(result[QStringLiteral("bank_status_before")].toInt());
    } else if (result.contains(QStringLiteral("bank_status"))) {
        text += QStringLiteral("bank status %1\n").arg(result[QStringLiteral("bank_status")].toInt());
    }
    if (command == QLatin1String("save"))
        text += QStringLiteral("saved to %1\n").arg(result[QStringLiteral("file")].toString());
    if (command == QLatin1String("load"))
        text += QStringLiteral("loaded from %1\n").arg(result[QStringLiteral("file")].toString());
    return text + where(result) + QLatin1Char('\n');
}

QString batchLine(const QJsonObject& entry)
{
    return QStringLiteral("%1  cycle %2  %3\n")
        .arg(entry[QStringLiteral("time")].toString())
        .arg(entry[QStringLiteral("cycle")].toInt(), 3)
        .arg(entry[QStringLiteral("file")].toString());
}

QString sessionLine(bool ok, const QJsonObject& answer)
{
    const QString command = answer[QStringLiteral("command")].toString();
    if (!ok)
        return QStringLiteral("error %1  %2  %3\n")
            .arg(answer[QStringLiteral("status")].toInt())
            .arg(command.leftJustified(7), answer[QStringLiteral("error")].toString());
    QStringList parts;
    const QJsonArray channels =
        answer[command == QLatin1String("otp") ? QStringLiteral("burnt") : QStringLiteral("channels")]
            .toArray();
    for (const QJsonValue& value : channels) {
        const QJsonObject channel = value.toObject();
        parts << QStringLiteral("%1: %2 %3 %4")
                     .arg(channel[QStringLiteral("channel")].toInt(), 2)
                     .arg(channel[QStringLiteral("code")].toInt(), 4)
                     .arg(channel[QStringLiteral("hex")].toString().rightJustified(3),
                          channel[QStringLiteral("volts")].isDouble()
                              ? model::volt_text(channel[QStringLiteral("volts")].toDouble()) +
                                    QStringLiteral(" V")
                              : QStringLiteral("-"));
    }
    if (answer.contains(QStringLiteral("bank_status")))
        parts << QStringLiteral("bank status %1").arg(answer[QStringLiteral("bank_status")].toInt());
    if (answer.contains(QStringLiteral("file")))
        parts << answer[QStringLiteral("file")].toString();
    if (answer.contains(QStringLiteral("lines")))
        parts << answer[QStringLiteral("lines")].toString();
    for (const QJsonValue& value : answer[QStringLiteral("chips")].toArray())
        parts << QStringLiteral("%1 %2").arg(value[QStringLiteral("address")].toString(),
                                             value[QStringLiteral("answers")].toBool()
                                                 ? QStringLiteral("answers")
                                                 : QStringLiteral("no chip"));
    if (answer.contains(QStringLiteral("sent")))
        parts << QStringLiteral("sent ") + answer[QStringLiteral("sent")].toString();
    if (answer.contains(QStringLiteral("seconds")))
        parts << model::number_text(answer[QStringLiteral("seconds")].toDouble()) + QStringLiteral(" s");
    if (answer.contains(QStringLiteral("files_applied")))
        parts << QStringLiteral("%1 files applied").arg(answer[QStringLiteral("files_applied")].toInt());
    for (const QJsonValue& value : answer[QStringLiteral("ports")].toArray())
        parts << QStringLiteral("%1 %2").arg(value[QStringLiteral("name")].toString(QStringLiteral("-")),
                                             value[QStringLiteral("state")].toString());
    return QStringLiteral("ok    %1  %2")
               .arg(command.leftJustified(7), parts.join(QStringLiteral(", ")))
               .trimmed() +
           QLatin1Char('\n');
}

} // namespace cli
