// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "engine/command.h"

#include <QList>
#include <QString>

#include <array>
#include <functional>
#include <optional>

namespace model {

class ChannelModel;

// Channel codes by channel number 1..24 (index 0 unused), as the model keeps them.
using Codes = std::array<double, 26>;
// How a program names channel n to its user (the window's rows call channel 19 "c1").
using ChannelName = std::function<QString(int n)>;

// A burn into the chip's OTP as both programs make it: the bank status, the registers burnt, the general-call
// reset that loads the new bank into every register, and the bank status again. A burn took only when the
// second read is one more than the first: a chip whose banks are all burnt takes nothing and says so only
// there. Where a failure of the port cut the batch short, the replies tell how far the burn went.
class OtpBurn {
public:
    // channel 0: all 24 channels, with the model's codes at this moment.
    OtpBurn(ChannelModel& model, int channel);

    // Uninterruptible: a half-burnt bank is worse than a late stop.
    const engine::Batch& batch() const { return batch_; }
    // The bank status read last, once the batch has run (nullopt where it did not get that far).
    std::optional<double> statusAfter(const engine::Outcome& outcome) const;
    // A new bank holds the burn.
    bool took(const engine::Outcome& outcome) const;
    // What became of the burn, for the user: which bank it went into, or why it did not take, or (for a
    // batch a failure cut short) which registers of which bank were burnt and whether the reset came.
    QString verdict(const engine::Outcome& outcome) const;

private:
    QString bank(double status) const;
    QString registers(int first, int last) const;

    QList<int> channels_;
    engine::Batch batch_;
};

// "1: 3FFh, 2: 0h, ..." for every channel.
QString holdsText(const Codes& codes, const ChannelName& name);
// The channels whose code differs, with their codes before and after ("3 (12Ah to 0h), ..."), or "none".
QString changesText(const Codes& before, const Codes& after, const ChannelName& name);
// The channels whose code differs.
QList<int> changedChannels(const Codes& before, const Codes& after);

} // namespace model
