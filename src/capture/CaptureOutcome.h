#pragma once

#include "files/RecordingSummary.h"

#include <QString>

namespace vessaro {

// What a successful stop() hands back: the finished temporary file and its summary.
struct CaptureOutcome {
    QString path;
    RecordingSummary summary;
};

} // namespace vessaro
