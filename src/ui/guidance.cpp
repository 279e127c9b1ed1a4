// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/guidance.h"

#include "app/connection.h"
#include "bus/i2c_master.h"
#include "model/channel_model.h"

#include <QLineEdit>

namespace ui {

namespace {

// Registers 0..23 are read in order: the last one read means the grid shows the chip.
constexpr int kLastChannelRegister = 23;

} // namespace

Guidance::Guidance(const model::ChannelModel& model, const app::Connection& connection, bus::I2cMaster& i2c,
                   QObject* parent)
    : QObject(parent), model_(model), connection_(connection), i2c_(i2c)
{
    i2c_.addObserver(this);
    connect(&connection_, &app::Connection::changed, this, &Guidance::update);
}

Guidance::~Guidance()
{
    i2c_.removeObserver(this);
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

void Guidance::done(const bus::Transaction& transaction)
{
    switch (transaction.kind) {
    case bus::TransactionKind::LineCheck:
        readPending_ = true;
        break;
    case bus::TransactionKind::PointerWrite:
        lastPointer_ = transaction.bytes.size() > 1 ? static_cast<quint8>(transaction.bytes[1]) : -1;
        break;
    case bus::TransactionKind::Read:
        if (lastPointer_ == kLastChannelRegister && readPending_) {
            readPending_ = false;
            update();
        }
        break;
    default:
        break;
    }
}

void Guidance::update()
{
    if (referenceConverts())
        typedWithoutReference_ = false;
    QStringList hints;
    if (typedWithoutReference_)
        hints << QStringLiteral("Set Vsup, the reference voltage, before typing voltages");
    // Only where reading can work: otherwise the connection line says what stands in the way.
    if (readPending_ && connection_.portState() == app::Connection::PortState::Open &&
        connection_.lines().usable() && connection_.presence() != app::Connection::Presence::NoAnswer)
        hints << QStringLiteral("Press Read DAC to read the chip");
    if (hints == hints_)
        return;
    hints_ = hints;
    emit changed();
}

} // namespace ui
