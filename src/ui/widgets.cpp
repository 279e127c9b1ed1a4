// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/widgets.h"

#include <QApplication>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QToolButton>
#include <QWheelEvent>

#include <algorithm>

namespace ui {

int twipsToPixels(const QWidget* widget, int twips)
{
    return qRound(twips * widget->logicalDpiX() / 1440.0);
}

void placeInTwips(QWidget* widget, int left, int top, int width, int height)
{
    widget->setGeometry(twipsToPixels(widget, left), twipsToPixels(widget, top), twipsToPixels(widget, width),
                        twipsToPixels(widget, height));
}

void setUpWindow(QWidget* window, const QString& name, const QString& title, int clientWidth,
                 int clientHeight)
{
    window->setObjectName(name);
    window->setWindowTitle(title);
    QFont small = window->font();
    small.setPointSize(8);
    window->setFont(small);
    window->setFixedSize(twipsToPixels(window, clientWidth), twipsToPixels(window, clientHeight));
}

QMessageBox* yesOrCancel(QWidget* parent, const QString& title, const QString& text,
                         const QString& yesCaption)
{
    auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::NoButton, parent);
    box->addButton(yesCaption, QMessageBox::AcceptRole);
    QPushButton* cancel = box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    return box;
}

WrapButton::WrapButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {}

void WrapButton::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString caption = option.text;
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    const QRect area =
        style()->subElementRect(QStyle::SE_PushButtonContents, &option, this).adjusted(1, 0, -1, 0);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, caption);
}

void FocusSlider::wheelEvent(QWheelEvent* event)
{
    if (hasFocus())
        QSlider::wheelEvent(event);
    else
        event->ignore();
}

void placeBeside(QWidget* window, const QWidget* anchor)
{
    const QWidget* anchorWindow = anchor->window();
    const QRect beside = anchorWindow->frameGeometry();
    const QRect area = anchorWindow->screen()->availableGeometry();
    // Before it is first shown a window has no frame yet; the anchor's tells how much the desktop adds.
    const QSize size = window->size() + (beside.size() - anchorWindow->size());
    constexpr int kGap = 8;
    int left = beside.right() + 1 + kGap;
    if (left + size.width() > area.right() + 1)
        left = beside.left() - kGap - size.width();
    // No room on either side: cover the anchor rather than leave part of the window off the screen.
    if (left < area.left())
        left = std::max(area.left(), area.right() + 1 - size.width());
    const int top =
        std::clamp(beside.top(), area.top(), std::max(area.top(), area.bottom() + 1 - size.height()));
    window->move(left, top);
}

UpDown::UpDown(QWidget* parent) : QWidget(parent), up_(new QToolButton(this)), down_(new QToolButton(this))
{
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* arrow : {up_, down_}) {
        arrow->setAutoRepeat(true);
        arrow->setFocusPolicy(Qt::NoFocus);
    }
    connect(up_, &QToolButton::clicked, this, &UpDown::upClicked);
    connect(down_, &QToolButton::clicked, this, &UpDown::downClicked);
}

void UpDown::resizeEvent(QResizeEvent*)
{
    const int half = height() / 2;
    up_->setGeometry(0, 0, width(), half);
    down_->setGeometry(0, half, width(), height() - half);
}

} // namespace ui
