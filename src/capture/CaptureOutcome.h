#pragma once

#include "base/Error.h"
#include "base/FileLock.h"

#include <memory>
#include <optional>

#include "files/RecordingSummary.h"

#include <QString>

namespace vessaro {

// What a stop() that kept a file hands back: the finished temporary file, its
// summary and the lock on it. A take cut short (a refusal, a loss, a full
// disk) keeps the audio before the cut and says why in `interruption`.
struct CaptureOutcome {
    QString path;
    RecordingSummary summary;
    // Every sample of the recording is zero: nothing was heard.
    bool silent = false;
    // Held while the file is ours; shared so that the outcome stays a value.
    std::shared_ptr<FileLock> lock;
    // Why the intake ended before stop, if it did.
    std::optional<Error> interruption;
};

} // namespace vessaro
