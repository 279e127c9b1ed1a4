// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QLabel>

namespace ui {

class Commands;

// The connection line under the main window's controls: the port and its state, the line check, the chip's
// presence, each with a coloured mark (green: fine, amber: look at it, red: nothing reaches the chip), and
// below them what to do next (blue). It follows the connection as it changes.
class ConnectionLine : public QLabel {
    Q_OBJECT
public:
    ConnectionLine(const Commands& commands, QWidget* parent);

    // The texts shown, one per part, without the marks (for tests and tooltips).
    QStringList parts() const { return parts_; }
    // What to do next, shown below the parts when the bus is not busy.
    void setHints(const QStringList& hints);
    QStringList hints() const { return hints_; }
    // What the program is busy with on the bus ("Reading the chip… 15 of 74"), shown in place of the hints;
    // "" once it is done.
    void setActivity(const QString& activity);
    const QString& activity() const { return activity_; }

private:
    void follow();

    const Commands& commands_;
    QStringList parts_;
    QStringList hints_;
    QString activity_;
};

} // namespace ui
