#pragma once

#include "base/FileLock.h"

#include <QString>

namespace vessaro {

// A recording file and the lock on it, handed over together: whoever holds
// this holds the file, and no other process repairs or removes it meanwhile.
// Remove or move the file before letting the lock go. Move-only; any thread
// but the audio thread.
struct LockedRecordingFile {
    QString path;
    FileLock lock;
};

} // namespace vessaro
