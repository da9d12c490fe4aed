#pragma once

#include "base/FileLock.h"
#include "files/RecordingSummary.h"

#include <QString>

namespace vessaro {

// A recording left by an earlier run, repaired into an ordinary file and
// validated; the lock keeps other processes off it while it is pending.
// Move-only; any thread but the audio thread.
struct RecoveredRecording {
    QString path;
    RecordingSummary summary;
    FileLock lock;
};

} // namespace vessaro
