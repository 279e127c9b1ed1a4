// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "model/channel_model.h"

#include <QString>

#include <array>

// The main window's grid as the model sees it: setting a voltage text that differs runs the row's change
// handling at once, nested, exactly as typing does.
class FakeGrid : public model::ChannelGrid {
public:
    explicit FakeGrid(model::ChannelModel& model) : model_(model) {}

    std::array<QString, 24> volts, codes;
    QString reference;

    QString voltText(int row) const override { return volts.at(row); }
    void setVoltText(int row, const QString& text) override
    {
        if (volts.at(row) == text)
            return;
        volts.at(row) = text;
        model_.cur_chan = row + 1;
        model_.volt_to_code();
        model_.write_current_channel();
    }
    void setCodeText(int row, const QString& text) override { codes.at(row) = text; }
    void setReferenceText(const QString& text) override { reference = text; }
    void setMaxBankText(const QString&) override {}
    void refreshPanel() override {}

private:
    model::ChannelModel& model_;
};
