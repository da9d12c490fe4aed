#pragma once

#include "media/MediaWriterFactory.h"

#include <cstddef>
#include <memory>

namespace vessaro {

// MediaWriterFactory over FFmpeg: accepts interleaved little-endian linear
// PCM (float 32-bit, signed integer 16 or 32-bit, 1 to 8 channels) and makes
// FfmpegMediaWriters. Any thread but the audio thread.
class FfmpegMediaWriterFactory final : public MediaWriterFactory {
public:
    // `ringBytes` is passed to every writer; 0 sizes each ring from its input
    // format.
    explicit FfmpegMediaWriterFactory(std::size_t ringBytes = 0);

    std::int32_t makeFormatDescription(
        const AudioStreamBasicDescription& stream, std::optional<AudioFormatDescription>* description) const override;
    // Creates the file at `path` (mode 0600) and a writer for it.
    Result<std::unique_ptr<MediaWriter>> createWriter(const QString& path) const override;

private:
    std::size_t m_ringBytes;
};

} // namespace vessaro
