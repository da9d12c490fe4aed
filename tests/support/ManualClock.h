#pragma once

#include "base/Clock.h"

#include <QList>
#include <QPromise>

#include <memory>

namespace vessaro::test {

// A clock the test moves by hand. Sleeps complete when advance() passes their deadline. Main thread only.
class ManualClock final : public Clock {
public:
    QDateTime now() const override { return m_now; }
    QFuture<bool> sleep(std::chrono::nanoseconds duration, CancellationTokenPtr token = {}) override;

    // Moves time forward and completes every sleep whose deadline has passed.
    void advance(std::chrono::nanoseconds by);
    int pendingSleeps() const;

private:
    struct Sleeper;
    QDateTime m_now = QDateTime::fromSecsSinceEpoch(1800000000, Qt::UTC);
    std::chrono::nanoseconds m_elapsed { 0 };
    QList<std::shared_ptr<Sleeper>> m_sleepers;
};

} // namespace vessaro::test
