#pragma once

#include "files/RecordingSummary.h"

#include <QString>

namespace vessaro {

// What a successful stop() hands back: the finished temporary file and its summary.
struct CaptureOutcome {
    QString path;
    RecordingSummary summary;
    // Every sample of the recording is zero: nothing was heard.
    bool silent = false;
};

} // namespace vessaro
