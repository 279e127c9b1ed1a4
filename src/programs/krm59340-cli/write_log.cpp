// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "write_log.h"

#include "engine/engine.h"

#include <QStringList>

#include <algorithm>

namespace cli {

namespace {

bool writes(bus::TransactionKind kind)
{
    return kind == bus::TransactionKind::DacWrite || kind == bus::TransactionKind::OtpWrite ||
           kind == bus::TransactionKind::GeneralCall;
}

// "1-9, 12, 14-15"
QString channelRanges(QList<int> channels)
{
    std::sort(channels.begin(), channels.end());
    channels.erase(std::unique(channels.begin(), channels.end()), channels.end());
    QStringList parts;
    for (qsizetype i = 0; i < channels.size();) {
        qsizetype j = i;
        while (j + 1 < channels.size() && channels[j + 1] == channels[j] + 1)
            ++j;
        parts << (j == i ? QString::number(channels[i])
                         : QStringLiteral("%1-%2").arg(channels[i]).arg(channels[j]));
        i = j + 1;
    }
    return parts.join(QStringLiteral(", "));
}

} // namespace

WriteLog::WriteLog(engine::Engine& engine) : engine_(engine)
{
    engine_.addObserver(this);
}

WriteLog::~WriteLog()
{
    engine_.removeObserver(this);
}

void WriteLog::starting(const bus::Transaction& about)
{
    pending_.reset();
    if (writes(about.kind)) {
        pending_ = about.kind;
        // A register write's pointer byte follows its address byte.
        pendingChannel_ = about.bytes.size() > 1 ? quint8(about.bytes.at(1)) + 1 : 0;
    }
}

void WriteLog::done(const bus::Transaction& transaction)
{
    pending_.reset();
    const int channel = transaction.bytes.size() > 1 ? quint8(transaction.bytes.at(1)) + 1 : 0;
    switch (transaction.kind) {
    case bus::TransactionKind::DacWrite:
        dac_ << channel;
        break;
    case bus::TransactionKind::OtpWrite:
        otp_ << channel;
        break;
    case bus::TransactionKind::GeneralCall:
        ++resets_;
        break;
    default:
        break;
    }
}

void WriteLog::clear()
{
    dac_.clear();
    otp_.clear();
    resets_ = 0;
    pending_.reset();
}

QString WriteLog::summary(bool cutOff) const
{
    QStringList parts;
    if (!dac_.isEmpty())
        parts << QStringLiteral("channels %1 were written").arg(channelRanges(dac_));
    if (!otp_.isEmpty())
        parts << QStringLiteral("channels %1 were burnt into OTP").arg(channelRanges(otp_));
    if (resets_ > 0)
        parts << QStringLiteral("the chip was reset");
    if (cutOff && pending_) {
        if (*pending_ == bus::TransactionKind::GeneralCall)
            parts << QStringLiteral("the reset was cut off half-way");
        else
            parts << QStringLiteral("the %1 of channel %2 was cut off half-way")
                         .arg(*pending_ == bus::TransactionKind::OtpWrite ? QStringLiteral("OTP burn")
                                                                          : QStringLiteral("write"))
                         .arg(pendingChannel_);
    }
    if (parts.isEmpty())
        return QStringLiteral("nothing was written to the chip");
    return parts.join(QStringLiteral("; "));
}

} // namespace cli
