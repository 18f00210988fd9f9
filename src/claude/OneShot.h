#pragma once

#include <QCoreApplication>
#include <QTimer>
#include <coroutine>
#include <memory>
#include <optional>
#include <utility>

namespace qm {

// A value that arrives once, awaited by one coroutine. release() never resumes the waiting
// coroutine inside the caller (a page callback, a timer, a channel message); it resumes on
// the next turn of the event loop, so the sender's state is settled before the waiter runs.
// A second release() is ignored, so racing sources (answer, time limit, evaluation error)
// settle it exactly once.
template <typename T>
class OneShot {
public:
    bool isReleased() const { return value_.has_value(); }

    void release(T value) {
        if (value_) return;
        value_ = std::move(value);
        if (auto handle = std::exchange(handle_, {})) {
            QTimer::singleShot(0, QCoreApplication::instance(), [handle] { handle.resume(); });
        }
    }

    // co_await *shot: the awaiter keeps the shared state alive while suspended.
    struct Awaiter {
        std::shared_ptr<OneShot> shot;
        bool await_ready() const noexcept { return shot->value_.has_value(); }
        void await_suspend(std::coroutine_handle<> handle) { shot->handle_ = handle; }
        T await_resume() { return std::move(*shot->value_); }
    };

    static std::shared_ptr<OneShot> create() { return std::make_shared<OneShot>(); }

private:
    std::optional<T> value_;
    std::coroutine_handle<> handle_;
};

template <typename T>
typename OneShot<T>::Awaiter wait(std::shared_ptr<OneShot<T>> shot) {
    return {std::move(shot)};
}

}  // namespace qm
