// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QObject>
#include <QPointer>

#include <deque>
#include <functional>
#include <memory>

class QEvent;

namespace ui {

// Keeps the user's input waiting while the program works on the bus, so that the windows can repaint and
// answer the desktop meanwhile without a second command starting inside the first. While anything holds the
// gate, mouse, keyboard, wheel and touch input and a window's close request are kept in arrival order
// (consecutive mouse moves folded into the last), and once nothing holds it they are delivered as the window
// system would have delivered them had nobody looked at the events in between: at the next point where the
// program lets events run, in order. A close request of the main window also stops the bus work at its next
// transaction (see setCloseRequest).
class InputGate : public QObject {
    Q_OBJECT
public:
    explicit InputGate(QObject* parent = nullptr);
    ~InputGate() override;

    // Holds the gate for its lifetime.
    class Hold {
    public:
        explicit Hold(InputGate& gate);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        InputGate& gate_;
    };

    bool holding() const { return holds_ > 0; }
    // How many input events wait.
    std::size_t waiting() const { return held_.size(); }
    // Told when the close request of a window arrives while the gate holds (the request itself waits).
    void setCloseRequest(std::function<void(QObject* window)> closeRequest)
    {
        closeRequest_ = std::move(closeRequest);
    }
    // A close request of the program's own (a signal asking it to end) for the window, queued behind the
    // user's input as if the window system had sent it.
    void queueClose(QObject* window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Held {
        QPointer<QObject> receiver;
        std::unique_ptr<QEvent> event;
    };

    void release();
    void deliver();

    int holds_ = 0;
    bool delivering_ = false;
    std::deque<Held> held_;
    std::function<void(QObject*)> closeRequest_;
};

} // namespace ui
