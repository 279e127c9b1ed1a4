// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "model/channel_model.h"

#include "bus/device.h"
#include "model/numbers.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace model {

namespace {

bool isChannel(int n)
{
    return n >= 1 && n <= kChannels;
}

// Appends one digit per weight, most significant first, subtracting as it goes. Comparisons on the double
// itself: a negative or NaN value simply gives zeros, and nothing is ever converted to an integer.
void appendBits(QString& out, double& work, double firstWeight, int count)
{
    double weight = firstWeight;
    for (int i = 0; i < count; ++i, weight /= 2) {
        if (work >= weight) {
            out += QLatin1Char('1');
            work -= weight;
        } else {
            out += QLatin1Char('0');
        }
    }
}

} // namespace

double ChannelModel::shown_range() const
{
    const double range = vref_high_cur - vref_low_cur;
    return std::isfinite(range) ? range : 0;
}

double ChannelModel::code_voltage(double c) const
{
    const double range = shown_range();
    // c / 1024 is exact, so this equals c * range / 1024 without overflowing for huge references.
    return range == 0 ? vref_low_cur : vref_low_cur + c / 1024 * range;
}

double ChannelModel::shown_voltage(double c) const
{
    return c > 1023 && shown_range() != 0 ? vref_high_cur : code_voltage(c);
}

void ChannelModel::volt_to_code()
{
    if (grid_ && isChannel(cur_chan))
        volt_to_code(grid_->voltText(cur_chan - 1));
}

void ChannelModel::volt_to_code(const QString& text)
{
    if (isChannel(cur_chan) && !(unknown[cur_chan] && text.trimmed().isEmpty()))
        set_channel_voltage(cur_chan, leading_number(text));
}

bool ChannelModel::set_channel_voltage(int n, double v)
{
    const double range = shown_range();
    if (!(range > 0) || !isChannel(n))
        return false;
    if (v > vref_high_cur)
        v = vref_high_cur;
    if (v < vref_low_cur)
        v = vref_low_cur;
    volt[n] = v;
    // Dividing first keeps the product finite; scaling by 1024 is exact, so the rounding is the same.
    code[n] = std::floor((v - vref_low_cur) / range * 1024 + 0.5);
    unknown[n] = false;
    return true;
}

void ChannelModel::set_code(int n, double c)
{
    if (!isChannel(n))
        return;
    code[n] = c;
    unknown[n] = false;
}

void ChannelModel::forget_codes()
{
    unknown.fill(true);
}

QString ChannelModel::unknown_channels(int first, int last) const
{
    QStringList runs;
    for (int n = std::max(first, 1); n <= std::min(last, kChannels); ++n) {
        if (!unknown[n])
            continue;
        int end = n;
        while (end < std::min(last, kChannels) && unknown[end + 1])
            ++end;
        runs << (end == n ? QString::number(n) : QStringLiteral("%1-%2").arg(n).arg(end));
        n = end;
    }
    return runs.join(QStringLiteral(", "));
}

void ChannelModel::refresh_channels()
{
    for (int n = 1; n <= kChannels; ++n) {
        if (grid_)
            grid_->setCodeText(n - 1, unknown[n] ? QString() : code_text(code[n]));
        volt[n] = shown_voltage(code[n]);
        // The grid's change handling may run here (conversion and write of this row).
        if (grid_)
            grid_->setVoltText(n - 1, unknown[n] ? QString() : volt_text(volt[n]));
    }
    vref_high[bank()] = vref_high_cur;
    vref_low[bank()] = 0;
    if (panel_open == 1 && grid_)
        grid_->refreshPanel();
}

void ChannelModel::write_current_channel()
{
    if (!isChannel(cur_chan) || unknown[cur_chan])
        return;
    decmal_to_binary8(cur_chan - 1);
    code_to_binary10(code[cur_chan]);
    send(engine::WriteRegister{bits_low, bits_high, bus::writeAddress(a0_state), bits_result, false});
}

void ChannelModel::step_current_code(int delta)
{
    if (!isChannel(cur_chan) || unknown[cur_chan])
        return;
    const int row = cur_chan - 1;
    double& c = code[cur_chan];
    c += delta;
    if (delta < 0 && c < 0)
        c = 0;
    if (delta > 0 && c > 1023)
        c = 1023;
    volt[cur_chan] = code_voltage(c);
    if (!grid_)
        return;
    grid_->setVoltText(row, volt_text(volt[cur_chan]));
    // The code box follows at once; a refresh would redo every row.
    grid_->setCodeText(row, code_text(c));
}

void ChannelModel::decmal_to_binary8(double v)
{
    bits_result.clear();
    if (v > 255)
        throw FatalError("Problem in decmal_to_binary8");
    appendBits(bits_result, v, 128, 8);
}

void ChannelModel::decmal_to_binary5(double v)
{
    bits_result.clear();
    appendBits(bits_result, v, 16, 5);
}

void ChannelModel::code_to_binary10(double c)
{
    bits_high = QStringLiteral("000000");
    bits_low.clear();
    appendBits(bits_high, c, 512, 2);
    appendBits(bits_low, c, 128, 8);
}

engine::Batch ChannelModel::read_all_channels_batch()
{
    engine::Batch batch;
    for (int n = 1; n <= kChannels; ++n)
        batch.commands.emplace_back(read_channel_command(n));
    batch.commands.emplace_back(read_bank_status_command());
    return batch;
}

engine::ReadRegister ChannelModel::read_channel_command(int n)
{
    decmal_to_binary5(n - 1);
    return {a0_state, bits_result};
}

bool ChannelModel::apply_read(const std::vector<engine::Reply>& replies)
{
    const std::size_t channels = std::min<std::size_t>(replies.size(), kChannels);
    for (std::size_t k = 0; k < channels; ++k)
        set_code(int(k) + 1, replies[k].word);
    if (replies.size() <= kChannels)
        return false;
    show_bank_status(replies[kChannels].word);
    refresh_channels();
    return true;
}

void ChannelModel::show_bank_status(double status)
{
    if (grid_)
        grid_->setMaxBankText(QString::number(status, 'f', 0));
}

void ChannelModel::send(engine::Command command)
{
    if (sink_)
        sink_->send(std::move(command));
}

engine::WriteRegister ChannelModel::otp_command(int n)
{
    decmal_to_binary8(n - 1);
    code_to_binary10(code[n]);
    return {bits_low, bits_high, bus::writeAddress(a0_state), bits_result, true};
}

} // namespace model
