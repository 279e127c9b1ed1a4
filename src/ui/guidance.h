// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/bus_observer.h"

#include <QObject>
#include <QStringList>

class QLineEdit;

namespace app {
class Connection;
}
namespace bus {
class I2cMaster;
}
namespace model {
class ChannelModel;
}

namespace ui {

// What to do next where a new user gets stuck without a word from the program, as short hints for the
// connection line, each gone once acted on (the line itself already says "No port chosen: press COM
// Setting"):
// - a voltage typed while the reference is not above 0 converts to nothing and snaps back: set Vsup first;
// - after a port is opened the grid still shows what was read before it (FFFF from a silent bus): read the
//   chip. Opening is told by the line check every open runs; the chip counts as read once its last channel
//   register is.
class Guidance : public QObject, public bus::BusObserver {
    Q_OBJECT
public:
    Guidance(const model::ChannelModel& model, const app::Connection& connection, bus::I2cMaster& i2c,
             QObject* parent);
    ~Guidance() override;

    // The reference box (Vsup): the hint follows the reference once the box has been applied.
    void watchReference(QLineEdit* box);
    // A voltage box: what the user types in it is looked at, what the program sets is not.
    void watchVoltage(QLineEdit* box);

    QStringList hints() const { return hints_; }

    void starting(bus::TransactionKind) override {}
    void done(const bus::Transaction& transaction) override;

signals:
    void changed();

private:
    void update();
    bool referenceConverts() const;

    const model::ChannelModel& model_;
    const app::Connection& connection_;
    bus::I2cMaster& i2c_;
    bool typedWithoutReference_ = false;
    bool readPending_ = false;
    int lastPointer_ = -1;
    QStringList hints_;
};

} // namespace ui
