// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/guidance.h"

#include "model/channel_model.h"
#include "ui/commands.h"

#include <QLineEdit>

namespace ui {

Guidance::Guidance(const model::ChannelModel& model, const Commands& commands, QObject* parent)
    : QObject(parent), model_(model), commands_(commands)
{
    connect(&commands_, &Commands::connectionChanged, this, &Guidance::update);
}

void Guidance::watchReference(QLineEdit* box)
{
    // Set by the program (a file, the A0 bank, the settings), the reference is in use already; typed, it is
    // applied when the box is left, before editingFinished.
    connect(box, &QLineEdit::textChanged, this, &Guidance::update);
    connect(box, &QLineEdit::editingFinished, this, &Guidance::update);
}

void Guidance::watchVoltage(QLineEdit* box)
{
    connect(box, &QLineEdit::textEdited, this, [this] {
        if (!referenceConverts())
            typedWithoutReference_ = true;
        update();
    });
}

bool Guidance::referenceConverts() const
{
    return model_.vref_high_cur - model_.vref_low_cur > 0;
}

void Guidance::portOpened()
{
    readPending_ = true;
    update();
}

void Guidance::chipRead()
{
    readPending_ = false;
    update();
}

void Guidance::update()
{
    if (referenceConverts())
        typedWithoutReference_ = false;
    QStringList hints;
    if (typedWithoutReference_)
        hints << QStringLiteral("Set Vsup, the reference voltage, before typing voltages");
    // Only where reading can work: otherwise the connection line says what stands in the way.
    const engine::ConnectionState& connection = commands_.connection();
    if (readPending_ && connection.portState == engine::ConnectionState::PortState::Open &&
        connection.lines.usable() && connection.presence != engine::ConnectionState::Presence::NoAnswer)
        hints << QStringLiteral("Press Read DAC to read the chip");
    if (hints == hints_)
        return;
    hints_ = hints;
    emit changed();
}

} // namespace ui
