#pragma once

#include "base/AudioStreamBasicDescription.h"
#include "base/Result.h"
#include "media/AudioFormatDescription.h"
#include "media/MediaWriter.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace vessaro {

// Makes format descriptions and writers: the entry point of a media backend.
// Any thread but the audio thread.
class MediaWriterFactory {
public:
    virtual ~MediaWriterFactory() = default;
    // 0 and a description, or a nonzero status and none.
    virtual std::int32_t makeFormatDescription(
        const AudioStreamBasicDescription& stream, std::optional<AudioFormatDescription>* description) const = 0;
    // A writer for an MPEG-4 file at `path`, or the platform's error.
    virtual Result<std::unique_ptr<MediaWriter>> createWriter(const QString& path) const = 0;
};

} // namespace vessaro
