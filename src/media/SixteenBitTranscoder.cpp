#include "media/SixteenBitTranscoder.h"

#include "media/AlacMp4Muxer.h"
#include "media/AlacSampleReader.h"
#include "media/FfmpegError.h"
#include "media/FfmpegHandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cstring>
#include <vector>

namespace vessaro {

namespace {

// The ALAC encoder's frame; the recordings are written with the same.
constexpr std::uint32_t kChunkFrames = 4096;
// Fewer, larger fragments than while recording: a crash here costs nothing,
// the source stays as it was.
constexpr std::int64_t kFragmentSeconds = 10;

// Interleaved top-aligned samples to the encoder's 16-bit planes; returns the
// bits below the top 16 of all of them ORed together, 0 when every one fits.
std::uint32_t toSixteenBitPlanes(
    const std::int32_t* samples, std::uint32_t frames, std::size_t channels, AVFrame& frame)
{
    std::uint32_t lowBits = 0;
    for (std::size_t channel = 0; channel < channels; ++channel) {
        auto* plane = reinterpret_cast<std::int16_t*>(frame.extended_data[channel]); // NOLINT
        for (std::uint32_t i = 0; i < frames; ++i) {
            const auto sample = static_cast<std::uint32_t>(samples[std::size_t { i } * channels + channel]);
            lowBits |= sample;
            plane[i] = static_cast<std::int16_t>(static_cast<std::int32_t>(sample) >> 16);
        }
    }
    return lowBits & 0xFFFFu;
}

double fractionOf(std::int64_t done, std::int64_t total)
{
    return total > 0 ? std::min(1.0, static_cast<double>(done) / static_cast<double>(total)) : 0.0;
}

// Opens the 16-bit encoder for the track that `source` reads.
Result<ffmpeg::CodecContextPtr> openEncoder(const AlacSampleReader& source)
{
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_ALAC);
    ffmpeg::CodecContextPtr encoder(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!encoder)
        return FfmpegError::platformError(AVERROR(ENOMEM), QStringLiteral("无法打开 ALAC 编码器"));
    encoder->sample_fmt = AV_SAMPLE_FMT_S16P;
    encoder->bits_per_raw_sample = 16;
    encoder->sample_rate = source.sampleRate();
    encoder->time_base = AVRational { 1, source.sampleRate() };
    encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int result = av_channel_layout_copy(&encoder->ch_layout, &source.decoder().ch_layout);
    if (result >= 0)
        result = avcodec_open2(encoder.get(), codec, nullptr);
    if (result < 0)
        return FfmpegError::platformError(result, QStringLiteral("无法打开 ALAC 编码器"));
    return encoder;
}

// Sends `frame` (null: the end) and muxes what comes out.
int encodeAndMux(AVCodecContext& encoder, const AVFrame* frame, AVPacket& packet, AlacMp4Muxer& muxer)
{
    int result = avcodec_send_frame(&encoder, frame);
    while (result >= 0) {
        result = avcodec_receive_packet(&encoder, &packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return 0;
        if (result >= 0) {
            result = muxer.writePacket(packet);
            av_packet_unref(&packet);
        }
    }
    return result;
}

} // namespace

Result<SixteenBitTranscoder::Outcome> SixteenBitTranscoder::transcode(
    const QString& source, const QString& destination, const Progress& progress, const CancellationToken& cancel)
{
    auto opened = AlacSampleReader::open(source);
    if (!opened)
        return opened.error();
    AlacSampleReader& reader = *opened.value();
    if (reader.bitDepth() != 24)
        return Outcome::needsMoreBits;
    auto encoder = openEncoder(reader);
    if (!encoder)
        return encoder.error();
    AVCodecContext& codec = *encoder.value();
    auto muxer = AlacMp4Muxer::create(destination, AlacMp4Muxer::Access::keepMode);
    if (!muxer)
        return muxer.error();
    ffmpeg::FramePtr frame(av_frame_alloc());
    ffmpeg::PacketPtr packet(av_packet_alloc());
    if (!frame || !packet)
        return FfmpegError::platformError(AVERROR(ENOMEM), QStringLiteral("无法打开 ALAC 编码器"));
    const auto frameFrames = codec.frame_size > 0 ? static_cast<std::uint32_t>(codec.frame_size) : kChunkFrames;
    frame->format = AV_SAMPLE_FMT_S16P;
    frame->sample_rate = codec.sample_rate;
    frame->nb_samples = static_cast<int>(frameFrames);
    int result = av_channel_layout_copy(&frame->ch_layout, &codec.ch_layout);
    if (result >= 0)
        result = av_frame_get_buffer(frame.get(), 0);
    if (result >= 0)
        result = muxer.value()->writeHeader(codec);
    if (result < 0)
        return FfmpegError::platformError(result, QStringLiteral("写入文件失败"));

    const auto channels = static_cast<std::size_t>(reader.channels());
    const std::int64_t total = reader.statedFrames();
    const std::int64_t fragmentFrames = kFragmentSeconds * codec.sample_rate;
    std::vector<std::int32_t> samples(std::size_t { frameFrames } * channels);
    std::int64_t done = 0;
    std::int64_t inFragment = 0;
    for (;;) {
        if (cancel.isCancelled())
            return CancellationError {};
        auto got = reader.read(samples.data(), frameFrames);
        if (!got)
            return got.error();
        if (got.value() == 0)
            break;
        result = av_frame_make_writable(frame.get());
        if (result < 0)
            return FfmpegError::platformError(result, QStringLiteral("编码音频失败"));
        frame->nb_samples = static_cast<int>(got.value());
        frame->pts = done;
        if (toSixteenBitPlanes(samples.data(), got.value(), channels, *frame) != 0)
            return Outcome::needsMoreBits;
        result = encodeAndMux(codec, frame.get(), *packet, *muxer.value());
        done += got.value();
        inFragment += got.value();
        if (result >= 0 && inFragment >= fragmentFrames) {
            inFragment = 0;
            result = muxer.value()->closeFragment();
        }
        if (result < 0)
            return FfmpegError::platformError(result, QStringLiteral("写入文件失败"));
        if (progress)
            progress(fractionOf(done, total));
    }
    result = encodeAndMux(codec, nullptr, *packet, *muxer.value());
    if (result < 0)
        return FfmpegError::platformError(result, QStringLiteral("写入文件失败"));
    auto finished = muxer.value()->finish();
    if (!finished)
        return finished.error();
    // A file left fragmented is valid, but every finished recording is ordinary.
    if (finished.value().conversionError)
        return *finished.value().conversionError;
    return Outcome::written;
}

Result<bool> SixteenBitTranscoder::sameSamples(
    const QString& first, const QString& second, const Progress& progress, const CancellationToken& cancel)
{
    auto a = AlacSampleReader::open(first);
    if (!a)
        return a.error();
    auto b = AlacSampleReader::open(second);
    if (!b)
        return b.error();
    AlacSampleReader& left = *a.value();
    AlacSampleReader& right = *b.value();
    if (left.channels() != right.channels() || left.sampleRate() != right.sampleRate())
        return false;
    const std::size_t chunk = std::size_t { kChunkFrames } * static_cast<std::size_t>(left.channels());
    std::vector<std::int32_t> leftSamples(chunk);
    std::vector<std::int32_t> rightSamples(chunk);
    const std::int64_t total = left.statedFrames();
    std::int64_t done = 0;
    for (;;) {
        if (cancel.isCancelled())
            return CancellationError {};
        auto leftGot = left.read(leftSamples.data(), kChunkFrames);
        if (!leftGot)
            return leftGot.error();
        auto rightGot = right.read(rightSamples.data(), kChunkFrames);
        if (!rightGot)
            return rightGot.error();
        if (leftGot.value() != rightGot.value())
            return false;
        if (leftGot.value() == 0)
            return true;
        const std::size_t count = std::size_t { leftGot.value() } * static_cast<std::size_t>(left.channels());
        if (std::memcmp(leftSamples.data(), rightSamples.data(), count * sizeof(std::int32_t)) != 0)
            return false;
        done += leftGot.value();
        if (progress)
            progress(fractionOf(done, total));
    }
}

} // namespace vessaro
