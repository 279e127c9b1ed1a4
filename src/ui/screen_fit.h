// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QObject>
#include <QSize>

class QScrollArea;
class QWidget;

namespace ui {

// Keeps a window drawn for a fixed client area (setUpWindow) usable on a screen whose available area is
// smaller than it, such as 1366x768, or 1920x1080 at 150 %: the window's controls move onto a canvas of the
// drawn size inside a scroll area that fills the window, and the window takes the drawn size or, where the
// screen is smaller, what fits, so the content scrolls and every control stays reachable. Where the window
// fits, nothing changes: no scroll bar, the same size, the same Tab order. The fit is made again when the
// window is shown and when it moves to another screen. Call once, after the controls are placed.
class ScreenFit : public QObject {
    Q_OBJECT
public:
    static void apply(QWidget* window);
    // The window is drawn for another client size from now on (the main window widened to its second
    // column), and fitted again.
    static void redraw(QWidget* window, QSize drawn);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit ScreenFit(QWidget* window);
    void fit();

    QWidget* window_;
    QSize drawn_;
    QScrollArea* area_ = nullptr;
    bool followsScreen_ = false;
};

} // namespace ui
