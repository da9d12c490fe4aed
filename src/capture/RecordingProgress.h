#pragma once

#include <QtGlobal>

namespace vessaro {

// How far the running recording has come: a plain value, any thread.
struct RecordingProgress {
    double seconds = 0; // audio the file will hold
    qint64 bytes = 0; // the file's size on disk so far
};

} // namespace vessaro
