#include "support/ManualClock.h"

namespace vessaro::test {

// A QObject, so that a cancellation reaches it only while it lives.
struct ManualClock::Sleeper final : QObject {
    QPromise<bool> promise;
    std::chrono::nanoseconds deadline { 0 };
    bool done = false;
    void finish(bool slept)
    {
        if (!std::exchange(done, true)) {
            promise.addResult(slept);
            promise.finish();
        }
    }
};

QFuture<bool> ManualClock::sleep(std::chrono::nanoseconds duration, CancellationTokenPtr token)
{
    auto sleeper = std::make_shared<Sleeper>();
    sleeper->promise.start();
    sleeper->deadline = m_elapsed + duration;
    m_sleepers.append(sleeper);
    if (token && token->isCancelled())
        sleeper->finish(false);
    else if (token)
        QObject::connect(
            token.get(), &CancellationToken::cancelled, sleeper.get(), [raw = sleeper.get()] { raw->finish(false); });
    return sleeper->promise.future();
}

void ManualClock::advance(std::chrono::nanoseconds by)
{
    m_elapsed += by;
    m_now = m_now.addMSecs(std::chrono::duration_cast<std::chrono::milliseconds>(by).count());
    for (const auto& sleeper : QList(m_sleepers))
        if (sleeper->deadline <= m_elapsed)
            sleeper->finish(true);
    m_sleepers.removeIf([](const auto& sleeper) { return sleeper->done; });
}

int ManualClock::pendingSleeps() const
{
    return int(std::count_if(m_sleepers.begin(), m_sleepers.end(), [](const auto& s) { return !s->done; }));
}

} // namespace vessaro::test
