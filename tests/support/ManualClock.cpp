#include "support/ManualClock.h"

namespace vessaro::test {

struct ManualClock::Sleeper final : QObject {
    QPromise<bool> promise;
    std::chrono::nanoseconds deadline{0};
    bool done = false;
    void finish(bool slept)
    {
        if (done)
            return;
        done = true;
        promise.addResult(slept);
        promise.finish();
    }
};

ManualClock::ManualClock(QDateTime start) : m_now(std::move(start)) {}

QFuture<bool> ManualClock::sleep(std::chrono::nanoseconds duration, CancellationTokenPtr token)
{
    requested.append(duration);
    auto sleeper = std::make_shared<Sleeper>();
    sleeper->promise.start();
    QFuture<bool> future = sleeper->promise.future();
    if (token && token->isCancelled()) {
        sleeper->finish(false);
        return future;
    }
    if (autoAdvance) {
        m_elapsed += duration;
        m_now = m_now.addMSecs(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
        sleeper->finish(true);
        return future;
    }
    sleeper->deadline = m_elapsed + duration;
    if (token)
        QObject::connect(token.get(), &CancellationToken::cancelled, sleeper.get(), [raw = sleeper.get()] { raw->finish(false); });
    m_sleepers.append(sleeper);
    return future;
}

void ManualClock::advance(std::chrono::nanoseconds by)
{
    m_elapsed += by;
    m_now = m_now.addMSecs(std::chrono::duration_cast<std::chrono::milliseconds>(by).count());
    const auto sleepers = m_sleepers;
    for (const auto& sleeper : sleepers) {
        if (!sleeper->done && sleeper->deadline <= m_elapsed)
            sleeper->finish(true);
    }
    m_sleepers.removeIf([](const auto& sleeper) { return sleeper->done; });
}

int ManualClock::pendingSleeps() const
{
    int count = 0;
    for (const auto& sleeper : m_sleepers)
        count += sleeper->done ? 0 : 1;
    return count;
}

} // namespace vessaro::test
