#include "base/SystemClock.h"

#include <QPromise>
#include <QTimer>

#include <memory>

namespace vessaro {
namespace {

// One sleep: finished once, by the timer or by the token, whichever is first.
// It is the context of both connections, so neither outlives it.
class PendingSleep final : public QObject {
public:
    PendingSleep() { m_promise.start(); }
    QFuture<bool> future() { return m_promise.future(); }
    void finish(bool slept)
    {
        if (m_done)
            return;
        m_done = true;
        m_promise.addResult(slept);
        m_promise.finish();
    }

private:
    QPromise<bool> m_promise;
    bool m_done = false;
};

} // namespace

QDateTime SystemClock::now() const
{
    return QDateTime::currentDateTimeUtc();
}

QFuture<bool> SystemClock::sleep(std::chrono::nanoseconds duration, CancellationTokenPtr token)
{
    auto pending = std::make_shared<PendingSleep>();
    QFuture<bool> future = pending->future();
    if (token && token->isCancelled()) {
        pending->finish(false);
        return future;
    }
    if (token) {
        QObject::connect(
            token.get(), &CancellationToken::cancelled, pending.get(), [raw = pending.get()] { raw->finish(false); });
    }
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(duration);
    // The timer's functor keeps the sleep alive until it fires.
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, pending.get(), [pending] { pending->finish(true); });
    return future;
}

} // namespace vessaro
