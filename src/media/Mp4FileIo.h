#pragma once

#include "base/PlatformError.h"
#include "base/RecorderError.h"
#include "media/Mp4Bytes.h"

#include <cstddef>
#include <cstdint>

// Positioned file I/O for rewriting a recording in place, and the errors it
// reports. Any thread but the audio thread.
namespace vessaro::mp4 {

// File I/O that neither uses nor moves the descriptor's offset. 0 or an errno;
// ENODATA when the file ends first.
int readAt(int fd, std::int64_t offset, std::uint8_t* data, std::size_t size);
int writeAt(int fd, std::int64_t offset, const Bytes& bytes);
int syncData(int fd);
int truncateTo(int fd, std::int64_t size);

// Not one whole fragment: no audio to keep.
RecorderError nothingWhole();
PlatformError readError(int error);
PlatformError writeError(int error);

} // namespace vessaro::mp4
