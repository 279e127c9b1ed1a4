// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/connection_line.h"

#include "ui/commands.h"

#include <cstddef>

namespace ui {

namespace {

enum class Mark { Fine, Look, Blocked, Hint };

QString marked(Mark mark, const QString& text)
{
    static const char* const colours[] = {"#2e7d32", "#b26a00", "#c62828", "#1565c0"};
    static const char* const shapes[] = {"&#9679;", "&#9679;", "&#9679;", "&#9656;"};
    const auto m = static_cast<std::size_t>(mark);
    return QStringLiteral("<span style=\"color:%1\">%2</span>&nbsp;%3")
        .arg(QLatin1String(colours[m]), QLatin1String(shapes[m]), text.toHtmlEscaped());
}

Mark portMark(engine::ConnectionState::PortState state)
{
    switch (state) {
    case engine::ConnectionState::PortState::Open:
        return Mark::Fine;
    case engine::ConnectionState::PortState::NoPortChosen:
        return Mark::Look;
    default:
        return Mark::Blocked;
    }
}

} // namespace

ConnectionLine::ConnectionLine(const Commands& commands, QWidget* parent)
    : QLabel(parent), commands_(commands)
{
    setObjectName(QStringLiteral("connectionLine"));
    setWordWrap(true);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setTextFormat(Qt::RichText);
    setFrameShape(QFrame::StyledPanel);
    connect(&commands_, &Commands::connectionChanged, this, &ConnectionLine::follow);
    follow();
}

void ConnectionLine::follow()
{
    parts_.clear();
    QStringList lines;
    const auto add = [&](Mark mark, const QString& text) {
        if (text.isEmpty())
            return;
        parts_ << text;
        lines << marked(mark, text);
    };
    const engine::ConnectionState& connection = commands_.connection();
    add(portMark(connection.portState), connection.portText());
    add(connection.lines.usable() ? Mark::Fine : Mark::Blocked, connection.linesText());
    add(connection.presence == engine::ConnectionState::Presence::Answers ? Mark::Fine : Mark::Look,
        connection.chipText());
    // While the bus is busy the line says with what instead of what to do next: "Press Read DAC" in the
    // middle of the start-up read would be advice the program is already carrying out.
    if (!activity_.isEmpty())
        lines << QStringLiteral("<i>%1</i>").arg(activity_.toHtmlEscaped());
    else
        for (const QString& hint : std::as_const(hints_))
            lines << QStringLiteral("<span style=\"color:%1\">%2</span>")
                         .arg(QLatin1String("#1565c0"), marked(Mark::Hint, hint));
    setText(lines.join(QStringLiteral("<br>")));
    setToolTip((parts_ + hints_).join(QLatin1Char('\n')));
}

void ConnectionLine::setActivity(const QString& activity)
{
    if (activity == activity_)
        return;
    activity_ = activity;
    follow();
}

void ConnectionLine::setHints(const QStringList& hints)
{
    hints_ = hints;
    follow();
}

} // namespace ui
