#pragma once

#include "base/Clock.h"

namespace vessaro {

// The real clock: QDateTime and QTimer. Main thread only.
class SystemClock final : public Clock {
public:
    QDateTime now() const override;
    QFuture<bool> sleep(std::chrono::nanoseconds duration, CancellationTokenPtr token = {}) override;
};

} // namespace vessaro
