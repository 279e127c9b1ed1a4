// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "model/otp_burn.h"

#include "model/channel_model.h"
#include "model/numbers.h"

namespace model {

namespace {

QString statusText(double status)
{
    return QString::number(status, 'f', 0);
}

} // namespace

OtpBurn::OtpBurn(ChannelModel& model, int channel)
{
    if (channel == 0)
        for (int n = 1; n <= kChannels; ++n)
            channels_ << n;
    else
        channels_ << channel;
    batch_.uninterruptible = true;
    batch_.commands.emplace_back(model.read_bank_status_command());
    for (int n : std::as_const(channels_))
        batch_.commands.emplace_back(model.otp_command(n));
    batch_.commands.emplace_back(engine::ResetChip{});
    batch_.commands.emplace_back(model.read_bank_status_command());
}

std::optional<double> OtpBurn::statusAfter(const engine::Outcome& outcome) const
{
    if (outcome.replies.size() < batch_.commands.size())
        return std::nullopt;
    return outcome.replies.back().word;
}

bool OtpBurn::took(const engine::Outcome& outcome) const
{
    const std::optional<double> after = statusAfter(outcome);
    return after && *after == outcome.replies.front().word + 1;
}

QString OtpBurn::bank(double status) const
{
    return QStringLiteral("OTP bank %1").arg(statusText(status + 1));
}

QString OtpBurn::registers(int first, int last) const
{
    const int from = channels_.at(first) - 1;
    const int to = channels_.at(last) - 1;
    return from == to ? QStringLiteral("register %1").arg(from)
                      : QStringLiteral("registers %1 to %2").arg(from).arg(to);
}

QString OtpBurn::verdict(const engine::Outcome& outcome) const
{
    const auto done = static_cast<int>(outcome.replies.size());
    const auto burns = static_cast<int>(channels_.size());
    const QString all = registers(0, burns - 1);
    if (done == 0)
        return QStringLiteral("Nothing was burnt: the bank status could not be read before the burn.");
    const double before = outcome.replies.front().word;
    if (const std::optional<double> after = statusAfter(outcome)) {
        if (took(outcome))
            return QStringLiteral("Burnt %1 into %2 (the bank status read %3 before, %4 after).")
                .arg(all, bank(before), statusText(before), statusText(*after));
        return QStringLiteral("The burn of %1 did not take: the bank status read %2 before it and %3 after, "
                              "not %4, so no new OTP bank holds it (every bank may be burnt already).")
            .arg(all, statusText(before), statusText(*after), statusText(before + 1));
    }
    // Reply 0 is the first status read, replies 1..burns the burns, then the reset and the second read.
    if (done <= burns) {
        const int whole = done - 1;
        QString text = QStringLiteral("The burn into %1 was cut off: ").arg(bank(before));
        if (whole > 0)
            text += QStringLiteral("%1 burnt, ").arg(registers(0, whole - 1));
        text += QStringLiteral("%1 may or may not hold its new code").arg(registers(whole, whole));
        if (whole + 1 < burns)
            text += QStringLiteral(", %1 not burnt").arg(registers(whole + 1, burns - 1));
        return text + QStringLiteral(". The bank is half-burnt; no reset was sent, so the outputs keep their "
                                     "codes until the chip is reset.");
    }
    if (done == burns + 1)
        return QStringLiteral(
                   "The burn of %1 into %2 went through, but its reset failed: the chip outputs the "
                   "codes it had until it is reset, which loads the new bank.")
            .arg(all, bank(before));
    return QStringLiteral("The burn of %1 and its reset went through, but the bank status could not be read "
                          "after them: whether a new bank holds the burn is not known.")
        .arg(all);
}

QString holdsText(const Codes& codes, const ChannelName& name)
{
    QStringList parts;
    for (int n = 1; n <= kChannels; ++n)
        parts << QStringLiteral("%1: %2h").arg(name(n), code_text(codes.at(n)));
    return parts.join(QStringLiteral(", "));
}

QList<int> changedChannels(const Codes& before, const Codes& after)
{
    QList<int> changed;
    for (int n = 1; n <= kChannels; ++n)
        if (before.at(n) != after.at(n))
            changed << n;
    return changed;
}

QString changesText(const Codes& before, const Codes& after, const ChannelName& name)
{
    QStringList parts;
    for (int n : changedChannels(before, after))
        parts << QStringLiteral("%1 (%2h to %3h)")
                     .arg(name(n), code_text(before.at(n)), code_text(after.at(n)));
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "));
}

} // namespace model
