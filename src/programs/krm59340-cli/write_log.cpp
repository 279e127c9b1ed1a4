// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "write_log.h"

#include "bus/i2c_master.h"

#include <QStringList>

#include <algorithm>

namespace cli {

namespace {

bool writes(bus::TransactionKind kind)
{
    return kind == bus::TransactionKind::DacWrite || kind == bus::TransactionKind::OtpWrite ||
           kind == bus::TransactionKind::GeneralCall;
}

// The channel of a register write still on the wire: its pointer byte is bits 9..16 of the transaction.
int pendingChannel(const bus::I2cMaster& i2c)
{
    int pointer = 0;
    for (int k = 9; k <= 16; ++k)
        pointer = pointer << 1 | (i2c.txBits[k] ? 1 : 0);
    return pointer + 1;
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

WriteLog::WriteLog(bus::I2cMaster& i2c) : i2c_(i2c)
{
    i2c_.addObserver(this);
}

WriteLog::~WriteLog()
{
    i2c_.removeObserver(this);
}

void WriteLog::starting(bus::TransactionKind kind)
{
    pending_.reset();
    if (writes(kind))
        pending_ = kind;
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
                         .arg(pendingChannel(i2c_));
    }
    if (parts.isEmpty())
        return QStringLiteral("nothing was written to the chip");
    return parts.join(QStringLiteral("; "));
}

} // namespace cli
