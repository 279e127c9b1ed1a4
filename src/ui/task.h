// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

// moc cannot read the standard library's concepts; it needs nothing from these.
#ifndef Q_MOC_RUN
#include <coroutine>
#endif
#include <exception>
#include <optional>
#include <utility>

namespace ui {

// A piece of a window's command written as a coroutine: where it waits (for the bus thread, a delay, an
// answer), it returns to the event loop, and it goes on from a slot of that loop once what it waited for
// has come. It starts when awaited and owns its frame: destroying a task that waits destroys what it waits
// in, which tells the awaited thing to forget it. A failure inside it is thrown at the co_await.
template <typename T = void> class Task;

namespace detail {

struct PromiseBase {
    std::coroutine_handle<> continuation;
    std::exception_ptr failure;

    std::suspend_always initial_suspend() noexcept { return {}; }
    struct Final {
        bool await_ready() noexcept { return false; }
        template <typename Promise>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) noexcept
        {
            const std::coroutine_handle<> next = self.promise().continuation;
            return next ? next : std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    Final final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { failure = std::current_exception(); }
};

template <typename T> struct Result {
    std::optional<T> value;
    void return_value(T result) { value = std::move(result); }
    T take() { return std::move(*value); }
};

template <> struct Result<void> {
    void return_void() {}
    void take() {}
};

} // namespace detail

template <typename T> class Task {
public:
    struct promise_type : detail::PromiseBase, detail::Result<T> {
        Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
    };

    // No coroutine: a task to be assigned one.
    Task() = default;
    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&& other) noexcept
    {
        if (this != &other) {
            if (handle_)
                handle_.destroy();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    ~Task()
    {
        if (handle_)
            handle_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> caller) noexcept
    {
        handle_.promise().continuation = caller;
        return handle_;
    }
    T await_resume()
    {
        if (handle_.promise().failure)
            std::rethrow_exception(handle_.promise().failure);
        return handle_.promise().take();
    }

    // Runs a task that nothing awaits (the root of a window's command queue) up to its first wait.
    void start() { handle_.resume(); }
    bool done() const { return !handle_ || handle_.done(); }

private:
    explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}

    std::coroutine_handle<promise_type> handle_{};
};

} // namespace ui
