#include "media/FfmpegMediaAsset.h"

#include "base/AudioStreamBasicDescription.h"
#include "media/FfmpegError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cstring>

namespace vessaro {

namespace {

std::uint32_t subtypeForCodec(AVCodecID codec)
{
    switch (codec) {
    case AV_CODEC_ID_ALAC:
        return fourCharCode("alac");
    case AV_CODEC_ID_AAC:
        return fourCharCode("mp4a");
    case AV_CODEC_ID_MP3:
        return fourCharCode(".mp3");
    case AV_CODEC_ID_AC3:
        return fourCharCode("ac-3");
    case AV_CODEC_ID_EAC3:
        return fourCharCode("ec-3");
    case AV_CODEC_ID_FLAC:
        return fourCharCode("fLaC");
    case AV_CODEC_ID_OPUS:
        return fourCharCode("Opus");
    case AV_CODEC_ID_PCM_S16LE:
        return fourCharCode("sowt");
    case AV_CODEC_ID_PCM_S16BE:
        return fourCharCode("twos");
    case AV_CODEC_ID_PCM_S24LE:
    case AV_CODEC_ID_PCM_S24BE:
    case AV_CODEC_ID_PCM_S32LE:
    case AV_CODEC_ID_PCM_S32BE:
    case AV_CODEC_ID_PCM_F32LE:
    case AV_CODEC_ID_PCM_F32BE:
    case AV_CODEC_ID_PCM_F64LE:
    case AV_CODEC_ID_PCM_F64BE:
    case AV_CODEC_ID_PCM_U8:
    case AV_CODEC_ID_PCM_S8:
        return kAudioFormatLinearPCM;
    default:
        return 0;
    }
}

// `count` ticks of `base` as an exact value/timescale pair, if one fits.
std::optional<MediaTime> exactTime(std::int64_t count, AVRational base)
{
    if (base.num <= 0 || base.den <= 0)
        return std::nullopt;
    std::int64_t value = 0;
    if (__builtin_mul_overflow(count, std::int64_t { base.num }, &value))
        return std::nullopt;
    MediaTime time;
    time.value = value;
    time.timescale = base.den;
    time.isValid = true;
    return time;
}

} // namespace

FfmpegMediaAsset::FfmpegMediaAsset(QString path)
    : m_path(std::move(path))
{ }

std::optional<PlatformError> FfmpegMediaAsset::open()
{
    if (m_input || m_openError)
        return m_openError;
    const QByteArray nativePath = m_path.toLocal8Bit();
    AVFormatContext* raw = nullptr;
    int result = avformat_open_input(&raw, nativePath.constData(), nullptr, nullptr);
    if (result < 0) {
        // avformat_open_input frees the context itself on failure.
        m_openError = FfmpegError::platformError(result, QStringLiteral("无法打开媒体文件"));
        return m_openError;
    }
    ffmpeg::InputContextPtr input(raw);
    result = avformat_find_stream_info(input.get(), nullptr);
    if (result < 0) {
        m_openError = FfmpegError::platformError(result, QStringLiteral("无法读取媒体信息"));
        return m_openError;
    }
    m_input = std::move(input);
    return std::nullopt;
}

Result<QList<MediaAsset::TrackID>> FfmpegMediaAsset::loadAudioTracks()
{
    if (auto error = open())
        return *error;
    QList<TrackID> tracks;
    for (unsigned int i = 0; i < m_input->nb_streams; ++i) {
        if (m_input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            tracks.append(static_cast<TrackID>(i));
    }
    return tracks;
}

Result<QList<std::uint32_t>> FfmpegMediaAsset::loadFormatDescriptionSubtypes(TrackID track)
{
    if (auto error = open())
        return *error;
    if (track < 0 || static_cast<unsigned int>(track) >= m_input->nb_streams)
        return FfmpegError::platformError(AVERROR_STREAM_NOT_FOUND, QStringLiteral("无法读取音频轨道"));
    const AVCodecParameters* parameters = m_input->streams[track]->codecpar;
    // Only the QuickTime family stores a sample entry code; other containers'
    // tags (a WAVE format number, say) are no four-character codes.
    // FFmpeg keeps the tag with the first character in the low byte.
    const bool sampleEntry = std::strncmp(m_input->iformat->name, "mov,", 4) == 0;
    const std::uint32_t tag = sampleEntry ? parameters->codec_tag : 0;
    const std::uint32_t subtype = tag != 0 ? __builtin_bswap32(tag) : subtypeForCodec(parameters->codec_id);
    return QList<std::uint32_t> { subtype };
}

Result<MediaTime> FfmpegMediaAsset::loadDuration()
{
    if (auto error = open())
        return *error;
    std::optional<MediaTime> longest;
    for (unsigned int i = 0; i < m_input->nb_streams; ++i) {
        const AVStream* stream = m_input->streams[i];
        if (stream->duration == AV_NOPTS_VALUE || stream->duration < 0)
            continue;
        const std::optional<MediaTime> time = exactTime(stream->duration, stream->time_base);
        if (time && (!longest || time->seconds() > longest->seconds()))
            longest = time;
    }
    if (longest)
        return *longest;
    if (m_input->duration != AV_NOPTS_VALUE && m_input->duration >= 0) {
        if (auto time = exactTime(m_input->duration, AVRational { 1, AV_TIME_BASE }))
            return *time;
    }
    return MediaTime {};
}

} // namespace vessaro
