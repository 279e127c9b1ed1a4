// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QObject>
#include <QStringList>

class QLineEdit;

namespace model {
class ChannelModel;
}

namespace ui {

class Commands;

// What to do next where a new user gets stuck without a word from the program, as short hints for the
// connection line, each gone once acted on (the line itself already says "No port chosen: press COM
// Setting"):
// - a voltage typed while the reference is not above 0 converts to nothing and snaps back: set Vsup first;
// - after a port is opened the grid still shows what was read before it (FFFF from a silent bus): read the
//   chip.
class Guidance : public QObject {
    Q_OBJECT
public:
    Guidance(const model::ChannelModel& model, const Commands& commands, QObject* parent);

    // The reference box (Vsup): the hint follows the reference once the box has been applied.
    void watchReference(QLineEdit* box);
    // A voltage box: what the user types in it is looked at, what the program sets is not.
    void watchVoltage(QLineEdit* box);

    QStringList hints() const { return hints_; }
    // A port was opened (or tried); the grid shows what was read before.
    void portOpened();
    // The chip has been read into the grid.
    void chipRead();

signals:
    void changed();

private:
    void update();
    bool referenceConverts() const;

    const model::ChannelModel& model_;
    const Commands& commands_;
    bool typedWithoutReference_ = false;
    bool readPending_ = false;
    QStringList hints_;
};

} // namespace ui
