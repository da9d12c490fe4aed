#pragma once

#include <QCoreApplication>
#include <QMetaObject>

#include <coroutine>

namespace vessaro {

// `co_await NextTurn{}` suspends a coroutine of the main thread until a later
// turn of its event loop. The application object is the context, so the
// coroutine is always resumed: code after the await must check that whatever
// it uses still exists.
struct NextTurn {
    static void resumeLater(std::coroutine_handle<> coroutine)
    {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [coroutine] { coroutine.resume(); }, Qt::QueuedConnection);
    }

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> coroutine) const { resumeLater(coroutine); }
    void await_resume() const noexcept { }
};

} // namespace vessaro
