#include "media/FfmpegMediaWriterFactory.h"

#include "media/AlacMp4Muxer.h"
#include "media/FfmpegMediaWriter.h"

extern "C" {
#include <libavutil/error.h>
}

namespace vessaro {

FfmpegMediaWriterFactory::FfmpegMediaWriterFactory(std::size_t ringBytes)
    : m_ringBytes(ringBytes)
{ }

std::int32_t FfmpegMediaWriterFactory::makeFormatDescription(
    const AudioStreamBasicDescription& stream, std::optional<AudioFormatDescription>* description) const
{
    constexpr std::int32_t invalid = AVERROR(EINVAL);
    if (description)
        description->reset();
    if (!description)
        return invalid;
    if (!FfmpegMediaWriter::canConvert(stream))
        return invalid;
    *description = AudioFormatDescription { stream };
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
