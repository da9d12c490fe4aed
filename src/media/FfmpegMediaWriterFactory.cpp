#include "media/FfmpegMediaWriterFactory.h"

#include "media/AlacMp4Muxer.h"
#include "media/FfmpegMediaWriter.h"

extern "C" {
#include <libavutil/error.h>
}

#include <cmath>
#include <limits>

namespace vessaro {

FfmpegMediaWriterFactory::FfmpegMediaWriterFactory(std::size_t ringBytes) : m_ringBytes(ringBytes) {}

std::int32_t FfmpegMediaWriterFactory::makeFormatDescription(const AudioStreamBasicDescription& stream,
                                                             std::optional<AudioFormatDescription>* description) const
{
    constexpr std::int32_t invalid = AVERROR(EINVAL);
    if (description)
        description->reset();
    if (!description)
        return invalid;
    const std::uint32_t flags = stream.mFormatFlags;
    if (stream.mFormatID != kAudioFormatLinearPCM || (flags & kAudioFormatFlagIsPacked) == 0
        || (flags & kAudioFormatFlagIsNonInterleaved) != 0 || (flags & kAudioFormatFlagIsBigEndian) != 0)
        return invalid;
    const bool isFloat = (flags & kAudioFormatFlagIsFloat) != 0;
    const bool isSigned = (flags & kAudioFormatFlagIsSignedInteger) != 0;
    const bool sampleTypeOk = isFloat ? (!isSigned && stream.mBitsPerChannel == 32)
                                      : (isSigned && (stream.mBitsPerChannel == 16 || stream.mBitsPerChannel == 32));
    if (!sampleTypeOk)
        return invalid;
    if (stream.mChannelsPerFrame < 1 || stream.mChannelsPerFrame > 8
        || stream.mBytesPerFrame != stream.mChannelsPerFrame * stream.mBitsPerChannel / 8)
        return invalid;
    if (!std::isfinite(stream.mSampleRate) || stream.mSampleRate <= 0
        || stream.mSampleRate >= static_cast<double>(std::numeric_limits<std::int32_t>::max()) + 1.0
        || stream.mSampleRate < 1.0)
        return invalid;
    *description = AudioFormatDescription{stream};
    return 0;
}

Result<std::unique_ptr<MediaWriter>> FfmpegMediaWriterFactory::createWriter(const QString& path) const
{
    auto muxer = AlacMp4Muxer::create(path);
    if (!muxer)
        return muxer.error();
    std::unique_ptr<MediaWriter> writer = std::make_unique<FfmpegMediaWriter>(std::move(muxer).value(), m_ringBytes);
    return writer;
}

} // namespace vessaro
