#pragma once

#include "base/Clock.h"

#include <QList>
#include <QPromise>

#include <memory>

namespace vessaro::test {

// A clock the test moves by hand. Sleeps complete when advance() passes their
// deadline, or at once when `autoAdvance` is set. Main thread only.
class ManualClock final : public Clock {
public:
    explicit ManualClock(QDateTime start = QDateTime::fromSecsSinceEpoch(1800000000, Qt::UTC));

    QDateTime now() const override { return m_now; }
    QFuture<bool> sleep(std::chrono::nanoseconds duration, CancellationTokenPtr token = {}) override;

    // Moves time forward and completes every sleep whose deadline has passed.
    void advance(std::chrono::nanoseconds by);
    // Every sleep completes at once, moving time by its duration.
    bool autoAdvance = false;
    // Durations of every sleep asked for, in order.
    QList<std::chrono::nanoseconds> requested;
    int pendingSleeps() const;

private:
    struct Sleeper;
    QDateTime m_now;
    std::chrono::nanoseconds m_elapsed{0};
    QList<std::shared_ptr<Sleeper>> m_sleepers;
};

} // namespace vessaro::test
