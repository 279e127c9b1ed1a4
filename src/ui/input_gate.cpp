// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/input_gate.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEvent>
#include <QMouseEvent>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace ui {

namespace {

bool isInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::ContextMenu:
    case QEvent::InputMethod:
        return true;
    default:
        return false;
    }
}

} // namespace

InputGate::InputGate(QObject* parent) : QObject(parent)
{
    QCoreApplication::instance()->installEventFilter(this);
}

InputGate::~InputGate()
{
    QCoreApplication::instance()->removeEventFilter(this);
}

InputGate::Hold::Hold(InputGate& gate) : gate_(gate)
{
    ++gate_.holds_;
}

InputGate::Hold::~Hold()
{
    if (--gate_.holds_ == 0)
        gate_.release();
}

bool InputGate::eventFilter(QObject* watched, QEvent* event)
{
    if (holds_ == 0)
        return false;
    // Input from the window system reaches a window first, or (sent by hand, as tests do) a widget as a
    // spontaneous event; what the program sends itself is no input of the user's.
    const bool fromUser = watched->isWindowType() || (watched->isWidgetType() && event->spontaneous());
    const bool closeRequest = event->type() == QEvent::Close && watched->isWindowType();
    if (!fromUser || !(isInput(event->type()) || closeRequest))
        return false;
    if (event->type() == QEvent::MouseMove && !held_.empty() && held_.back().receiver == watched &&
        held_.back().event->type() == QEvent::MouseMove &&
        static_cast<QMouseEvent*>(held_.back().event.get())->buttons() ==
            static_cast<QMouseEvent*>(event)->buttons())
        held_.pop_back(); // a drag over a slow bus ends where the mouse is, not at every place it passed
    held_.push_back({watched, std::unique_ptr<QEvent>(event->clone())});
    if (closeRequest && closeRequest_)
        closeRequest_(watched);
    return true;
}

void InputGate::queueClose(QObject* window)
{
    held_.push_back({window, std::make_unique<QCloseEvent>()});
    if (holds_ == 0)
        release();
}

void InputGate::release()
{
    if (held_.empty())
        return;
    // Not from inside the work that held it: at the next point where events run.
    QTimer::singleShot(0, this, &InputGate::deliver);
}

void InputGate::deliver()
{
    if (delivering_)
        return;
    delivering_ = true;
    // Each event may start a command whose own bus work holds the gate again; what arrives then queues
    // behind the rest, and is delivered here in turn once that work has ended.
    while (!held_.empty() && holds_ == 0) {
        Held next = std::move(held_.front());
        held_.pop_front();
        if (next.receiver)
            QCoreApplication::sendEvent(next.receiver, next.event.get());
    }
    delivering_ = false;
}

} // namespace ui
