// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The window on a slow adapter, under a real X server (run through bench/window_alive.sh, which starts Xvfb):
// how soon it is on screen, how soon it answers the desktop's "are you alive" ping (_NET_WM_PING) during the
// start-up read and during Read DAC, and how soon after a slider drag is released the chip holds the
// released position. The simulated board plays the chip; every line request takes the given latency.
//
// Usage: window_alive [latency, default 1ms]
#include "app/bench.h"
#include "bus/bus_observer.h"
#include "model/numbers.h"
#include "sim/simulated_board.h"
#include "ui/commands.h"
#include "ui/control_panel.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

xcb_atom_t atom(xcb_connection_t* c, const char* name)
{
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return a;
}

// Plays the desktop: pings the window every 20 ms on a connection of its own and notes how long each
// answer took, by phase of the run.
class Pinger {
public:
    explicit Pinger(xcb_window_t window) : window_(window), thread_([this] { run(); }) {}
    ~Pinger()
    {
        stop_ = true;
        thread_.join();
    }
    void setPhase(const char* phase) { phase_ = phase; }
    std::map<std::string, std::vector<double>> replies()
    {
        const std::lock_guard lock(mutex_);
        return replies_;
    }

private:
    void run()
    {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        // The answer goes to the root window for those who listen to its structure.
        const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, &mask);
        const xcb_atom_t protocols = atom(c, "WM_PROTOCOLS");
        const xcb_atom_t ping = atom(c, "_NET_WM_PING");
        for (std::uint32_t serial = 1; !stop_; ++serial) {
            xcb_client_message_event_t event{};
            event.response_type = XCB_CLIENT_MESSAGE;
            event.format = 32;
            event.window = window_;
            event.type = protocols;
            event.data.data32[0] = ping;
            event.data.data32[1] = serial;
            event.data.data32[2] = window_;
            const std::string phase = phase_.load();
            const auto sent = Clock::now();
            xcb_send_event(c, 0, window_, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
            xcb_flush(c);
            bool answered = false;
            while (!answered && !stop_ && msBetween(sent, Clock::now()) < 10000) {
                xcb_generic_event_t* reply = xcb_poll_for_event(c);
                if (!reply) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    continue;
                }
                if ((reply->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                    const auto* message = reinterpret_cast<xcb_client_message_event_t*>(reply);
                    answered = message->data.data32[0] == ping && message->data.data32[1] == serial;
                }
                std::free(reply);
            }
            if (answered) {
                const std::lock_guard lock(mutex_);
                replies_[phase].push_back(msBetween(sent, Clock::now()));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        xcb_disconnect(c);
    }

    xcb_window_t window_;
    std::atomic<bool> stop_{false};
    std::atomic<const char*> phase_{"start-up"};
    std::mutex mutex_;
    std::map<std::string, std::vector<double>> replies_;
    std::thread thread_;
};

// Drags with the X server's test extension, as a hand on the mouse would: press on the handle, move to the
// top in steps, release. Returns when it was released.
Clock::time_point drag(QPoint from, QPoint to, int steps, std::chrono::milliseconds over)
{
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const auto move = [&](QPoint p) {
        xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, std::int16_t(p.x()),
                            std::int16_t(p.y()), 0);
        xcb_flush(c);
    };
    move(from);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    xcb_test_fake_input(c, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(c);
    for (int i = 1; i <= steps; ++i) {
        std::this_thread::sleep_for(over / steps);
        move(from + (to - from) * i / steps);
    }
    xcb_test_fake_input(c, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(c);
    const auto released = Clock::now();
    xcb_disconnect(c);
    return released;
}

// Every DAC write of channel 1, with when it finished.
struct Channel1Writes : bus::BusObserver {
    // Told on the bus thread, read on the window's.
    std::mutex mutex;
    std::vector<std::pair<Clock::time_point, int>> writes;
    std::size_t count()
    {
        const std::lock_guard lock(mutex);
        return writes.size();
    }
    void starting(const bus::Transaction&) override {}
    void done(const bus::Transaction& t) override
    {
        if (t.kind == bus::TransactionKind::DacWrite && t.bytes.size() == 4 && t.bytes[1] == 0) {
            const std::lock_guard lock(mutex);
            writes.emplace_back(Clock::now(), (quint8(t.bytes[2]) & 3) << 8 | quint8(t.bytes[3]));
        }
    }
};

// Notes the first moment the window is on screen, whatever the program is busy with then.
struct FirstExpose : QObject {
    std::optional<Clock::time_point> at;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!at && event->type() == QEvent::Expose && static_cast<QWindow*>(watched)->isExposed())
            at = Clock::now();
        return false;
    }
};

void runUntil(const std::function<bool()>& done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

void report(const char* phase, const std::vector<double>& rtts)
{
    if (rtts.empty()) {
        std::printf("  %-10s no ping answered\n", phase);
        return;
    }
    std::printf("  %-10s %3zu pings answered, worst %.1f ms, median %.1f ms\n", phase, rtts.size(),
                *std::max_element(rtts.begin(), rtts.end()), [v = rtts]() mutable {
                    std::sort(v.begin(), v.end());
                    return v[v.size() / 2];
                }());
}

} // namespace

int main(int argc, char** argv)
{
    const auto launched = Clock::now();
    QApplication app(argc, argv);
    const auto latency =
        model::parse_latency(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("1ms"));
    if (!latency) {
        std::fprintf(stderr, "usage: window_alive [latency, e.g. 1ms]\n");
        return 1;
    }
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("KRM72340.ini"));
    {
        QSettings settings(ini, QSettings::IniFormat);
        settings.setValue(QStringLiteral("PortNumb/2"), QStringLiteral("1"));
        settings.setValue(QStringLiteral("BitRate/3"), QStringLiteral("9600"));
        settings.setValue(QStringLiteral("vref_high0/10"), QStringLiteral("10"));
    }
    auto bench = app::Bench::simulated(ini, {}, *latency);
    auto& board = dynamic_cast<sim::SimulatedBoard&>(bench->engine().device());
    for (int reg = 0; reg < 24; ++reg)
        board.chip(0x74)->setDacRegister(reg, 40 * reg);

    // As the program starts: the window first, the start-up from the event loop.
    ui::MainWindow window(*bench);
    window.winId(); // the native window, so its first exposure can be watched from the start
    FirstExpose expose;
    window.windowHandle()->installEventFilter(&expose);
    window.show();
    Pinger pinger(static_cast<xcb_window_t>(window.winId()));
    const auto idle = [&window] {
        return !window.commands().busy() && window.commands().bus().inFlight() == 0;
    };
    QTimer::singleShot(0, &window, &ui::MainWindow::load);
    runUntil([&] { return window.commands().busy(); });
    runUntil(idle);
    const auto shown = expose.at.value_or(Clock::now());
    const auto startupDone = Clock::now();

    pinger.setPhase("idle");
    const auto idleUntil = Clock::now() + std::chrono::milliseconds(300);
    runUntil([&] { return Clock::now() >= idleUntil; });

    pinger.setPhase("Read DAC");
    const auto readStarted = Clock::now();
    window.commandButton(QStringLiteral("Command5"))->click();
    runUntil(idle);
    const auto readDone = Clock::now();

    // A slider drag from the bottom to the top while every write takes its time.
    pinger.setPhase("drag");
    window.commandButton(QStringLiteral("Command9"))->click();
    ui::ControlPanel* panel = window.controlPanel();
    runUntil([&] { return panel->windowHandle() && panel->windowHandle()->isExposed(); });
    QSlider* slider = panel->slider(0);
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = Qt::Vertical;
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.sliderPosition = option.sliderValue = slider->value();
    option.upsideDown = !slider->invertedAppearance();
    option.subControls = QStyle::SC_SliderHandle;
    const QRect handle =
        slider->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, slider);
    const QPoint from = slider->mapToGlobal(handle.center());
    const QPoint to = slider->mapToGlobal(QPoint(handle.center().x(), 0));
    Channel1Writes writes;
    bench->engine().addObserver(&writes);
    Clock::time_point released;
    bool dragDone = false;
    std::thread hand([&] {
        released = drag(from, to, 40, std::chrono::milliseconds(400));
        dragDone = true;
    });
    runUntil([&] { return dragDone; });
    hand.join();
    // Until the bus has been quiet for a second.
    for (std::size_t seen = 0;;) {
        const auto quietUntil = Clock::now() + std::chrono::seconds(1);
        runUntil([&] { return Clock::now() >= quietUntil; });
        if (writes.count() == seen)
            break;
        seen = writes.count();
    }
    bench->engine().removeObserver(&writes);
    const auto replies = pinger.replies();

    std::printf("line latency %s\n", argc > 1 ? argv[1] : "1ms");
    std::printf("  window on screen %.0f ms after launch; start-up done after %.0f ms; Read DAC %.0f ms\n",
                msBetween(launched, shown), msBetween(launched, startupDone),
                msBetween(readStarted, readDone));
    for (const char* phase : {"start-up", "idle", "Read DAC", "drag"})
        report(phase, replies.count(phase) ? replies.at(phase) : std::vector<double>{});
    if (!writes.writes.empty()) {
        const auto& last = writes.writes.back();
        std::printf("  drag: %zu writes of channel 1 for a drag of 40 steps; the chip holds code %d %.0f ms "
                    "after the "
                    "release (slider at %d)\n",
                    writes.writes.size(), last.second, msBetween(released, last.first),
                    1024 - slider->value());
    }
    return 0;
}
