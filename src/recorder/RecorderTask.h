#pragma once

#include "base/CancellationToken.h"

#include <coroutine>
#include <memory>

namespace vessaro {

// The handle of one task of the recorder model: its cancellation token and a
// way to wait until it has ended. Copies refer to the same task. Main thread
// only, except cancel(), which may be called from anywhere.
class RecorderTask {
    struct State;

public:
    RecorderTask();

    const CancellationTokenPtr& token() const;
    void cancel() const;
    bool isCancelled() const;
    bool hasEnded() const;

    // Held by the task's coroutine for its whole body; when it goes away the
    // task has ended, whichever way the body was left.
    class Running {
    public:
        explicit Running(const RecorderTask& task)
            : m_state(task.m_state)
        { }
        ~Running();
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;

    private:
        std::shared_ptr<State> m_state;
    };

    // `co_await task.ended()` resumes once the task has ended: at once if it
    // already has, otherwise on a later turn of the event loop (never inside
    // the ending task's own frame).
    class EndAwaiter {
    public:
        explicit EndAwaiter(const RecorderTask& task)
            : m_state(task.m_state)
        { }
        bool await_ready() const noexcept;
        void await_suspend(std::coroutine_handle<> coroutine) const;
        void await_resume() const noexcept { }

    private:
        std::shared_ptr<State> m_state;
    };

    EndAwaiter ended() const { return EndAwaiter(*this); }

private:
    std::shared_ptr<State> m_state;
};

} // namespace vessaro
