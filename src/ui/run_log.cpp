// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/run_log.h"

#include "files/regular_file.h"

#include <QDateTime>
#include <QFile>

namespace ui {

namespace {

QString csvField(const QString& text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

RunLog::RunLog(QObject* parent) : QAbstractTableModel(parent) {}

void RunLog::add(qint64 cycle, const QString& file, const QString& result, const QDateTime& at)
{
    if (lines_.size() == kKept) {
        beginRemoveRows({}, 0, 0);
        lines_.pop_front();
        ++dropped_;
        endRemoveRows();
    }
    const int row = static_cast<int>(lines_.size());
    beginInsertRows({}, row, row);
    lines_.push_back(
        {at.isValid() ? at.toMSecsSinceEpoch() : QDateTime::currentMSecsSinceEpoch(), cycle, file, result});
    endInsertRows();
}

void RunLog::clear()
{
    beginResetModel();
    lines_.clear();
    dropped_ = 0;
    endResetModel();
}

QString RunLog::text(const Line& line, int column, Form form) const
{
    switch (column) {
    case Time:
        return QDateTime::fromMSecsSinceEpoch(line.msecsSinceEpoch)
            .toString(form == Form::Csv ? QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")
                                        : QStringLiteral("HH:mm:ss.zzz"));
    case Cycle:
        return line.cycle == 0 ? QStringLiteral("step") : QString::number(line.cycle);
    case File:
        return line.file;
    case Result:
        return line.result;
    }
    return {};
}

QByteArray RunLog::csv() const
{
    QString out = QStringLiteral("Time,Cycle,File,Result\r\n");
    for (const Line& line : lines_) {
        for (int column = 0; column < kColumns; ++column) {
            if (column > 0)
                out += QLatin1Char(',');
            out += csvField(text(line, column, Form::Csv));
        }
        out += QLatin1String("\r\n");
    }
    return out.toUtf8();
}

std::optional<QString> RunLog::save(const QString& path) const
{
    // As the channel files: a device or a pipe is refused, and a full disk is named as such.
    if (const auto failure = files::replaceContents(QFile::encodeName(path), csv()))
        return QStringLiteral("The run log could not be saved to %1: %2.").arg(path, *failure);
    return std::nullopt;
}

int RunLog::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

int RunLog::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QVariant RunLog::data(const QModelIndex& index, int role) const
{
    // A failure's text is longer than its column: the tooltip holds all of it.
    if ((role != Qt::DisplayRole && role != Qt::ToolTipRole) || !index.isValid() || index.row() >= rowCount())
        return {};
    return text(lines_.at(static_cast<std::size_t>(index.row())), index.column(), Form::View);
}

QVariant RunLog::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return {};
    static const char* const titles[kColumns] = {"Time", "Cycle", "File", "Result"};
    return section >= 0 && section < kColumns ? QString::fromLatin1(titles[section]) : QVariant();
}

} // namespace ui
