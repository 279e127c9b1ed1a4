// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "model/channel_model.h"

#include <QString>

#include <array>

// The main window's grid as the model sees it: a voltage text that differs runs the row's change handling
// at once, nested. Text the model sets writes the model's code; typed text is converted first.
class FakeGrid : public model::ChannelGrid {
public:
    explicit FakeGrid(model::ChannelModel& model) : model_(model) {}

    std::array<QString, 24> volts, codes;
    QString reference;
    QString a0Shown;

    QString voltText(int row) const override { return volts.at(row); }
    void setVoltText(int row, const QString& text) override { change(row, text, false); }
    void type(int row, const QString& text) { change(row, text, true); }
    void setCodeText(int row, const QString& text) override { codes.at(row) = text; }
    void setReferenceText(const QString& text) override { reference = text; }
    void show_a0_state() override { a0Shown = model_.a0_state; }
    void setMaxBankText(const QString&) override {}
    void refreshPanel() override {}

private:
    void change(int row, const QString& text, bool typed)
    {
        if (volts.at(row) == text)
            return;
        volts.at(row) = text;
        model_.cur_chan = row + 1;
        if (typed)
            model_.volt_to_code();
        model_.write_current_channel();
    }

    model::ChannelModel& model_;
};
