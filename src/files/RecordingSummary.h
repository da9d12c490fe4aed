#pragma once

#include <QtGlobal>

namespace vessaro {

// Duration (seconds, finite, > 0) and size (bytes, > 0) of a finished
// recording, as measured by validation. A plain value; any thread.
struct RecordingSummary {
    double duration = 0;
    qint64 fileSize = 0;

    friend bool operator==(const RecordingSummary&, const RecordingSummary&) = default;
};

} // namespace vessaro
