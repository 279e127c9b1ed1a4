// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "model/channel_model.h"

#include <QWidget>

#include <array>
#include <optional>

class QLabel;
class QSlider;

namespace model {
class ChannelModel;
}

namespace ui {

class Host;

// frmSlider: one vertical slider per channel, so a code can be set by dragging. It follows every refresh
// of the main window's grid while it is open; a move writes the chip and refreshes the grid.
class ControlPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int kChannels = model::kChannels;

    explicit ControlPanel(Host& host);

    void refresh_panel();

    QSlider* slider(int i) const { return sliders_.at(i); }
    QLabel* voltLabel(int i) const { return voltLabels_.at(i); }
    QLabel* codeLabel(int i) const { return codeLabels_.at(i); }
    QLabel* scaleLabel(int n) const { return scaleLabels_.at(n - 1); }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildLayout();
    void sliderMoved(int i);

    Host& host_;
    model::ChannelModel& model_;
    std::array<QSlider*, kChannels> sliders_{};
    // The position a slider's move will write once its command gets its turn.
    std::array<std::optional<int>, kChannels> pending_{};
    std::array<QLabel*, kChannels> voltLabels_{};
    std::array<QLabel*, kChannels> codeLabels_{};
    std::array<QLabel*, 5> scaleLabels_{};
};

} // namespace ui
