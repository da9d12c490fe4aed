#pragma once

#include <QFuture>
#include <QObject>
#include <QPromise>
#include <QThread>

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace vessaro {

// Runs submitted jobs one at a time, in order, on a thread of its own.
// submit() may be called from any thread; jobs never run on the caller's.
// The destructor runs every job already submitted, then joins the thread, so a
// job may safely use the object that owns the executor.
class SerialExecutor {
public:
    explicit SerialExecutor(const QString& name);
    ~SerialExecutor();
    SerialExecutor(const SerialExecutor&) = delete;
    SerialExecutor& operator=(const SerialExecutor&) = delete;

    template <typename F> auto submit(F job) -> QFuture<std::invoke_result_t<F>>
    {
        using R = std::invoke_result_t<F>;
        auto promise = std::make_shared<QPromise<R>>();
        QFuture<R> future = promise->future();
        promise->start();
        post([promise, job = std::move(job)]() mutable {
            if constexpr (std::is_void_v<R>) {
                job();
            } else {
                promise->addResult(job());
            }
            promise->finish();
        });
        return future;
    }

    // The executor's thread, for assertions and for QFuture continuations.
    QThread* thread() const { return m_thread.get(); }
    bool isCurrent() const { return QThread::currentThread() == m_thread.get(); }

private:
    void post(std::function<void()> job);

    std::unique_ptr<QThread> m_thread;
    std::unique_ptr<QObject> m_context;
};

} // namespace vessaro
