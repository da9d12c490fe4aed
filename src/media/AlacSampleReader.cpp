#include "media/AlacSampleReader.h"

#include "base/RecorderError.h"
#include "media/FfmpegError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>

namespace vessaro {

namespace {

// Planar 16 or 32-bit samples (the decoder puts 24-bit audio in the top 24
// bits of 32) to interleaved 32-bit ones with the audio at the top.
template <typename Sample> void interleave(const AVFrame& frame, int from, int count, std::int32_t* out)
{
    const auto channels = static_cast<std::size_t>(frame.ch_layout.nb_channels);
    constexpr int shift = 32 - 8 * static_cast<int>(sizeof(Sample));
    for (std::size_t channel = 0; channel < channels; ++channel) {
        const auto* plane = reinterpret_cast<const Sample*>(frame.extended_data[channel]) + from; // NOLINT
        for (int i = 0; i < count; ++i)
            out[static_cast<std::size_t>(i) * channels + channel]
                = static_cast<std::int32_t>(static_cast<std::uint32_t>(plane[i]) << shift);
    }
}

} // namespace

Result<std::unique_ptr<AlacSampleReader>> AlacSampleReader::open(const QString& path)
{
    AVFormatContext* raw = nullptr;
    int result = avformat_open_input(&raw, path.toLocal8Bit().constData(), nullptr, nullptr);
    if (result < 0)
        return FfmpegError::platformError(result, QStringLiteral("无法打开媒体文件"));
    ffmpeg::InputContextPtr input(raw);
    result = avformat_find_stream_info(input.get(), nullptr);
    if (result < 0)
        return FfmpegError::platformError(result, QStringLiteral("无法读取媒体信息"));
    const int stream = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (stream < 0 || input->streams[stream]->codecpar->codec_id != AV_CODEC_ID_ALAC)
        return RecorderError::invalidOutput(QStringLiteral("文件里没有 ALAC 音轨"));
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_ALAC);
    ffmpeg::CodecContextPtr decoder(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!decoder)
        return FfmpegError::platformError(AVERROR(ENOMEM), QStringLiteral("无法打开 ALAC 解码器"));
    result = avcodec_parameters_to_context(decoder.get(), input->streams[stream]->codecpar);
    // Frames decode on threads of the decoder's own, ahead of the reader: an
    // export runs two decoders, or a decoder beside the encoder, at once.
    decoder->thread_count = 0;
    decoder->thread_type = FF_THREAD_FRAME;
    if (result >= 0)
        result = avcodec_open2(decoder.get(), codec, nullptr);
    if (result < 0)
        return FfmpegError::platformError(result, QStringLiteral("无法打开 ALAC 解码器"));
    if (decoder->sample_fmt != AV_SAMPLE_FMT_S16P && decoder->sample_fmt != AV_SAMPLE_FMT_S32P)
        return RecorderError::invalidOutput(QStringLiteral("不支持的 ALAC 样本格式"));
    return std::make_unique<AlacSampleReader>(std::move(input), std::move(decoder), stream);
}

AlacSampleReader::AlacSampleReader(ffmpeg::InputContextPtr input, ffmpeg::CodecContextPtr decoder, int stream)
    : m_input(std::move(input))
    , m_decoder(std::move(decoder))
    , m_frame(av_frame_alloc())
    , m_packet(av_packet_alloc())
    , m_stream(stream)
    , m_interleave(m_decoder->sample_fmt == AV_SAMPLE_FMT_S16P ? &interleave<std::int16_t> : &interleave<std::int32_t>)
{ }

AlacSampleReader::~AlacSampleReader() = default;

int AlacSampleReader::bitDepth() const
{
    return m_decoder->bits_per_raw_sample;
}

int AlacSampleReader::channels() const
{
    return m_decoder->ch_layout.nb_channels;
}

int AlacSampleReader::sampleRate() const
{
    return m_decoder->sample_rate;
}

std::int64_t AlacSampleReader::statedFrames() const
{
    const AVStream* stream = m_input->streams[m_stream];
    if (stream->duration <= 0)
        return 0;
    return av_rescale_q(stream->duration, stream->time_base, AVRational { 1, sampleRate() });
}

Result<std::uint32_t> AlacSampleReader::read(std::int32_t* out, std::uint32_t frames)
{
    if (!m_frame || !m_packet)
        return FfmpegError::platformError(AVERROR(ENOMEM), QStringLiteral("无法解码音频"));
    std::uint32_t done = 0;
    while (done < frames) {
        if (m_frameOffset >= m_frame->nb_samples) {
            auto decoded = decodeNext();
            if (!decoded)
                return decoded.error();
            if (!decoded.value())
                break;
        }
        const int count = std::min(m_frame->nb_samples - m_frameOffset, static_cast<int>(frames - done));
        m_interleave(*m_frame, m_frameOffset, count, out + std::size_t { done } * static_cast<std::size_t>(channels()));
        m_frameOffset += count;
        done += static_cast<std::uint32_t>(count);
    }
    return done;
}

Result<bool> AlacSampleReader::decodeNext()
{
    m_frameOffset = 0;
    m_frame->nb_samples = 0;
    while (!m_decoderEnded) {
        int result = avcodec_receive_frame(m_decoder.get(), m_frame.get());
        if (result >= 0)
            return true;
        if (result == AVERROR_EOF) {
            m_decoderEnded = true;
            break;
        }
        if (result != AVERROR(EAGAIN))
            return FfmpegError::platformError(result, QStringLiteral("无法解码音频"));
        // The decoder wants a packet of our track, or the end.
        for (;;) {
            if (m_inputEnded) {
                result = avcodec_send_packet(m_decoder.get(), nullptr);
                break;
            }
            result = av_read_frame(m_input.get(), m_packet.get());
            if (result == AVERROR_EOF) {
                m_inputEnded = true;
                continue;
            }
            if (result < 0)
                return FfmpegError::platformError(result, QStringLiteral("无法读取音频"));
            const bool ours = m_packet->stream_index == m_stream;
            if (ours)
                result = avcodec_send_packet(m_decoder.get(), m_packet.get());
            av_packet_unref(m_packet.get());
            if (ours)
                break;
        }
        if (result < 0 && result != AVERROR_EOF)
            return FfmpegError::platformError(result, QStringLiteral("无法解码音频"));
    }
    m_frame->nb_samples = 0;
    return false;
}

} // namespace vessaro
