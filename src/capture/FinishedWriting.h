#pragma once

#include "base/Error.h"
#include "files/LockedRecordingFile.h"

#include <optional>

namespace vessaro {

// What finishing a recording's writer left behind: the failure that ended the
// intake or the finishing, if any, and the file if anything valid was
// written, with the lock on it. Both may be set: a take cut short by a
// refusal, a loss or a full disk keeps the audio before it. A file that
// could not be read is in neither: it stays where it is, and the failure says
// where. Move-only; any thread but the audio thread.
struct FinishedWriting {
    std::optional<Error> failure;
    // A valid MPEG-4 file: ordinary, or fragmented when only the final
    // conversion failed. Validate it before offering it.
    std::optional<LockedRecordingFile> kept;
};

} // namespace vessaro
