#pragma once

#include "base/CancellationToken.h"

#include <QDateTime>
#include <QFuture>

#include <chrono>

namespace vessaro {

// Wall-clock time and sleeping, injectable so that tests run in milliseconds.
// Main thread only: the sleeps complete on the calling thread's event loop.
class Clock {
public:
    virtual ~Clock() = default;

    virtual QDateTime now() const = 0;

    // Completes with true once `duration` has passed, or with false as soon as
    // `token` is cancelled (at once if it already is). The future itself is
    // never cancelled, so it is always safe to co_await.
    virtual QFuture<bool> sleep(std::chrono::nanoseconds duration, CancellationTokenPtr token = {}) = 0;
};

} // namespace vessaro
