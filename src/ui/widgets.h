// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QPushButton>
#include <QSlider>
#include <QWidget>

class QMessageBox;
class QToolButton;

namespace ui {

// Twips (1/1440 inch) to pixels at the screen's logical dpi: 15 twips a pixel at 96 dpi.
int twipsToPixels(const QWidget* widget, int twips);
void placeInTwips(QWidget* widget, int left, int top, int width, int height);

// What every window of the program shares: its name and title, the small dialog font the layouts were
// drawn for, and a fixed client area given in twips.
void setUpWindow(QWidget* window, const QString& name, const QString& title, int clientWidth,
                 int clientHeight);

// A child control of the given kind with its name and text, placed in twips (labels, boxes, buttons).
template <typename Control>
Control* placed(QWidget* parent, const QString& name, const QString& text, int left, int top, int width,
                int height)
{
    auto* control = new Control(text, parent);
    control->setObjectName(name);
    placeInTwips(control, left, top, width, height);
    return control;
}

// A warning with the buttons yesCaption (AcceptRole) and Cancel, Cancel the default and focused one so that
// a stray Return or Space answers no. Not shown yet: Commands::ask shows it.
QMessageBox* yesOrCancel(QWidget* parent, const QString& title, const QString& text,
                         const QString& yesCaption);

// A push button whose caption wraps inside it when it is too long for one line.
class WrapButton : public QPushButton {
    Q_OBJECT
public:
    explicit WrapButton(const QString& caption, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A slider that the mouse wheel moves only while it has the keyboard focus (a click gives it): a wheel
// turned to scroll past it must not write the chip. The wheel is then left to the widgets around it.
class FocusSlider : public QSlider {
    Q_OBJECT
public:
    using QSlider::QSlider;

protected:
    void wheelEvent(QWheelEvent* event) override;
};

// Moves a window that is about to be shown next to anchor's window, on its right or else on its left, inside
// the screen's available area.
void placeBeside(QWidget* window, const QWidget* anchor);

// A vertical pair of up/down arrows without a partner box. Each click is reported; holding an arrow
// repeats it. The arrows never take the keyboard focus, so pressing them does not make the box being
// edited lose it.
class UpDown : public QWidget {
    Q_OBJECT
public:
    explicit UpDown(QWidget* parent = nullptr);
    QToolButton* upArrow() const { return up_; }
    QToolButton* downArrow() const { return down_; }

signals:
    void upClicked();
    void downClicked();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QToolButton* up_;
    QToolButton* down_;
};

} // namespace ui
