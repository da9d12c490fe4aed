#pragma once

#include "base/FileLock.h"
#include "files/RecordingSummary.h"

#include <QString>

#include <memory>

namespace vessaro {

// A finished recording that has not been exported yet: the temporary file,
// what validation measured, and the lock that keeps other processes from
// repairing or removing it meanwhile. A plain value; main thread only, as the
// model that holds it.
struct PendingRecording {
    QString path;
    RecordingSummary summary;
    // Empty for a file that is not ours to lock.
    std::shared_ptr<FileLock> lock;
};

} // namespace vessaro
