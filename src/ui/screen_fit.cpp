// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/screen_fit.h"

#include <QEvent>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QVBoxLayout>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace ui {

namespace {

// What the desktop adds around the client area: known once the window has been shown with its frame,
// estimated from a title bar before.
QSize frameExtra(const QWidget* window)
{
    const QSize known = window->frameGeometry().size() - window->size();
    if (known.width() > 0 || known.height() > 0)
        return known;
    const int titleBar = window->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, window);
    return {8, titleBar + 8};
}

// The window size for a drawn size on a screen area: each dimension that does not fit is cut to the area, and
// the other grows by a scroll bar's width where it can.
QSize fitted(QSize drawn, QSize area, int scrollBar)
{
    QSize size = drawn;
    if (size.height() > area.height()) {
        size.setHeight(area.height());
        size.setWidth(std::min(drawn.width() + scrollBar, area.width()));
    }
    if (size.width() > area.width()) {
        size.setWidth(area.width());
        size.setHeight(std::min(size.height() + scrollBar, area.height()));
    }
    return size;
}

} // namespace

void ScreenFit::apply(QWidget* window)
{
    new ScreenFit(window);
}

ScreenFit::ScreenFit(QWidget* window) : QObject(window), window_(window), drawn_(window->size())
{
    // The Tab order as the window set it; moving the controls one by one would shuffle it.
    QList<QWidget*> tabOrder;
    for (QWidget* w = window->nextInFocusChain(); w && w != window; w = w->nextInFocusChain())
        tabOrder << w;

    auto* canvas = new QWidget;
    canvas->setObjectName(QStringLiteral("canvas"));
    canvas->setFixedSize(drawn_);
    for (QWidget* child : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (!child->isWindow())
            child->setParent(canvas);

    area_ = new QScrollArea(window);
    area_->setObjectName(QStringLiteral("screenFit"));
    area_->setFrameShape(QFrame::NoFrame);
    area_->setFocusPolicy(Qt::NoFocus);
    area_->setWidget(canvas);
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(area_);

    QWidget* previous = nullptr;
    for (QWidget* w : std::as_const(tabOrder)) {
        if (previous && canvas->isAncestorOf(previous) && canvas->isAncestorOf(w))
            QWidget::setTabOrder(previous, w);
        previous = w;
    }

    window->installEventFilter(this);
    fit();
}

void ScreenFit::redraw(QWidget* window, QSize drawn)
{
    auto* fit = window->findChild<ScreenFit*>(QString(), Qt::FindDirectChildrenOnly);
    if (!fit)
        return;
    fit->drawn_ = drawn;
    fit->area_->widget()->setFixedSize(drawn);
    fit->fit();
}

bool ScreenFit::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == window_ && event->type() == QEvent::Show) {
        if (!followsScreen_ && window_->windowHandle()) {
            followsScreen_ = true;
            connect(window_->windowHandle(), &QWindow::screenChanged, this, &ScreenFit::fit);
        }
        fit();
    }
    return false;
}

void ScreenFit::fit()
{
    const QScreen* screen = window_->screen();
    if (!screen)
        return;
    const QSize area = screen->availableGeometry().size() - frameExtra(window_);
    const int scrollBar = window_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, area_);
    window_->setFixedSize(fitted(drawn_, area, scrollBar));
}

} // namespace ui
