#pragma once

#include "base/CancellationToken.h"
#include "base/Result.h"
#include "files/RecordingSummary.h"

#include <QString>

#include <functional>

namespace vessaro {

// Saves a finished recording under the name the user chose, as small as it
// can be without losing a sample: a 24-bit recording whose every sample fits
// in 16 bits is written as 16-bit ALAC, which costs about half; any other is
// copied byte for byte. The 16-bit file is decoded and compared with the
// recording before it may take the name; if anything differs or fails, the
// byte copy is written instead. Either way the new file is written under a
// hidden name beside the destination and renamed over it once synced
// (Platform::replaceFileWith), so a crash leaves the recording and any file
// already under that name as they were.
//
// Thread: a general-purpose thread, never the main thread: it takes a time in
// proportion to the recording's length (the 16-bit attempt reads the
// recording three times and writes once).
class RecordingExport {
public:
    struct Exported {
        // Of the file now at the destination.
        RecordingSummary summary;
        int bitDepth = 24;
    };
    // The fraction done, 0 to 1, on the exporting thread, once per whole percent.
    using Progress = std::function<void(double fraction)>;

    // Exports `source`, whose validation measured `summary`, to `destination`.
    // The source is only read. A cancellation ends the 16-bit attempt and
    // returns without a copy; the destination stays as it was.
    static Result<Exported> run(const QString& source, const RecordingSummary& summary, const QString& destination,
        const Progress& progress, const CancellationToken& cancel);
};

} // namespace vessaro
