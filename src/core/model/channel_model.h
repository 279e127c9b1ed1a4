// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "engine/command.h"

#include <QString>

#include <array>
#include <stdexcept>

namespace model {

// The chip's DAC channels, numbered 1..24 everywhere the user sees them.
constexpr int kChannels = 24;

// What the channel model needs of the main window. Row i is channel i + 1.
class ChannelGrid {
public:
    virtual ~ChannelGrid() = default;
    virtual QString voltText(int row) const = 0;
    // Runs the row's change handling at once, nested, when the text differs from the one shown.
    virtual void setVoltText(int row, const QString& text) = 0;
    virtual void setCodeText(int row, const QString& text) = 0;
    // The reference box ("Vsup").
    virtual void setReferenceText(const QString& text) = 0;
    // The A0 button: its caption and colour follow a0_state.
    virtual void show_a0_state() = 0;
    // The OTP bank status box.
    virtual void setMaxBankText(const QString& text) = 0;
    // The control panel's refresh; called only while the panel is open.
    virtual void refreshPanel() = 0;
};

// Thrown when a number given to decmal_to_binary8 does not fit a byte; the program shows the message and
// ends, as it always has.
class FatalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The 24 channels: codes and voltages, references, A0 state, the bit-string helpers and the operations
// that move them between the chip and the window. State keeps the names the rest of the program uses.
// Transfers to the chip go to a command sink: the bus engine at once, or the window's commands, which
// hand them to the bus thread.
class ChannelModel {
public:
    ChannelModel() = default;

    // The window to keep in step; may be null (then nothing is shown).
    void setGrid(ChannelGrid* grid) { grid_ = grid; }
    ChannelGrid* grid() const { return grid_; }
    // Where the writes go; without a sink they go nowhere.
    void setSink(engine::CommandSink* sink) { sink_ = sink; }

    std::array<double, 26> code{};
    std::array<double, 26> volt{};
    int cur_chan = 1;
    std::array<double, 2> vref_high{};
    std::array<double, 2> vref_low{};
    double vref_high_cur = 10;
    double vref_low_cur = 0;
    QString a0_state = QStringLiteral("0");
    QString bits_result;
    QString bits_high;
    QString bits_low;
    int panel_open = 0;
    // Channels whose code no chip gave and no user set (no port open, a failed line check, no chip
    // answering): the grid shows them empty, and nothing of theirs is sent, by a refresh or otherwise, until
    // a chip is read or the user sets them. A silent bus reads all ones, and writing that back drove every
    // output to full scale.
    std::array<bool, 26> unknown{};

    // Sets channel n's code as the user or a file gives it; the channel is known from then on.
    void set_code(int n, double c);
    // Every channel unknown: what the last read gave came from no chip.
    void forget_codes();
    // The unknown channels among the given ones, as "1-5, 9" ("" when all are known).
    QString unknown_channels(int first = 1, int last = 24) const;

    // Reads the voltage box of cur_chan into volt and code (clamped to the reference range).
    void volt_to_code();
    // The same for a text as it stood in the box; an unknown channel's empty box is nothing typed.
    void volt_to_code(const QString& text);
    // Sets volt and code of channel n from a voltage, clamped to the reference range as the voltage box is.
    // False (nothing changed) for a channel outside 1..24 or a reference range that converts nothing.
    bool set_channel_voltage(int n, double v);
    // Rewrites all 48 boxes from the codes (running the change cascade), stores the reference in use into
    // the A0 bank's slot and refreshes the panel when open.
    void refresh_channels();
    // Sends code(cur_chan) to the chip's DAC register cur_chan - 1, unless the channel is unknown.
    void write_current_channel();
    // Arrow step of the current channel's code (+1 or -1); an unknown channel has nothing to step from.
    void step_current_code(int delta);

    void decmal_to_binary8(double v);
    void decmal_to_binary5(double v);
    void code_to_binary10(double c);

    // The reads of a read-back of the chip: registers 0..23, then the bank status; 25 reads and nothing
    // else.
    engine::Batch read_all_channels_batch();
    // The read of register n - 1 (one pointer write and one word read).
    engine::ReadRegister read_channel_command(int n);
    engine::ReadBankStatus read_bank_status_command() const { return {a0_state}; }
    // Takes the words of such a read-back, in its order: code 1..24 from the first 24, then the bank
    // status. A read-back cut short keeps the codes it got and refreshes nothing; a whole one shows the
    // bank status and refreshes. True when it was whole.
    bool apply_read(const std::vector<engine::Reply>& replies);
    // Shows the bank status in its box.
    void show_bank_status(double status);
    // The burn of code(n) into OTP register n - 1 (n in 1..24), for an OtpBurn's batch.
    engine::WriteRegister otp_command(int n);

    // The reference of the bank the A0 state selects (any text other than "0" selects bank 1).
    int bank() const { return a0_state == QStringLiteral("0") ? 0 : 1; }
    // The voltage a refresh shows for a code: a word beyond ten bits (a silent bus reads FFFF) shows as the
    // reference.
    double shown_voltage(double c) const;

private:
    // vref_high_cur - vref_low_cur, or 0 when that is not finite: such a reference converts nothing.
    double shown_range() const;
    // The voltage a code stands for, without the cap for codes above 1023.
    double code_voltage(double c) const;

    void send(engine::Command command);

    ChannelGrid* grid_ = nullptr;
    engine::CommandSink* sink_ = nullptr;
};

} // namespace model
