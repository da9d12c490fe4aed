#include "media/FfmpegMediaWriter.h"

#include "media/AlacMp4Muxer.h"
#include "media/AudioRing.h"
#include "media/FfmpegError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include <sys/resource.h>
#include <unistd.h>

namespace vessaro {

namespace {

// The audio thread must never wake the encoder thread, so it polls: while
// held, at this interval; otherwise it sleeps until the audio for a whole
// encoder frame should be in the ring, at least this long and at most
// kEncoderLongestSleep. A finish or a cancel wakes it at once. Polling every
// few milliseconds cost more CPU than the encoding.
constexpr auto kEncoderPollInterval = std::chrono::milliseconds(3);
constexpr auto kEncoderLongestSleep = std::chrono::milliseconds(100);
constexpr double kRingSeconds = 5.0;
// How much audio a crash may cost at most, besides what is still in the ring
// and what a slow disk has not synced yet.
constexpr std::int64_t kFragmentMilliseconds = 500;
// Below the audio thread, far above an idle task.
constexpr int kEncoderNiceness = 5;
constexpr std::uint32_t kMaximumChannels = 8;
constexpr double kMaximumSampleRate = 768000.0;
constexpr std::int32_t kInvalidArgument = AVERROR(EINVAL);

// Float in [-1, 1) to a 24-bit value: scaled by exactly 2^23, rounded to
// nearest, clamped; NaN becomes silence.
std::int32_t floatTo24(float sample)
{
    const double scaled = static_cast<double>(sample) * 8388608.0;
    if (!(scaled == scaled))
        return 0;
    const double clamped = std::clamp(scaled, -8388608.0, 8388607.0);
    return static_cast<std::int32_t>(std::lrint(clamped));
}

// The top-aligned 32-bit sample the encoder takes: it keeps the top 24 bits.
std::int32_t topAligned(std::int32_t value24)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value24) << 8);
}

// One captured sample, top-aligned in 32 bits.
template <typename Input> std::int32_t topAlignedAt(const std::byte* at)
{
    Input sample {};
    std::memcpy(&sample, at, sizeof sample);
    if constexpr (std::is_same_v<Input, float>)
        return topAligned(floatTo24(sample));
    else if constexpr (std::is_same_v<Input, std::int16_t>)
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(sample) << 16);
    else
        return sample;
}

// Interleaved captured frames to the encoder's planes of 16 or 32-bit samples.
// Returns the largest magnitude among them as the file keeps them (the
// encoder drops the bits below its depth), top-aligned in 32 bits.
template <typename Input, typename Output>
std::uint32_t convertFrames(const std::byte* source, std::uint32_t frames, std::uint32_t channels, AVFrame& frame)
{
    constexpr auto keptBits = static_cast<std::int32_t>(sizeof(Output) == 2 ? 0xFFFF0000U : 0xFFFFFF00U);
    std::uint32_t largest = 0;
    for (std::uint32_t channel = 0; channel < channels; ++channel) {
        auto* plane = reinterpret_cast<Output*>(frame.extended_data[channel]); // NOLINT
        for (std::uint32_t i = 0; i < frames; ++i) {
            const std::int32_t value
                = topAlignedAt<Input>(source + (std::size_t { i } * channels + channel) * sizeof(Input));
            if constexpr (sizeof(Output) == 2)
                plane[i] = static_cast<Output>(value >> 16);
            else
                plane[i] = value;
            // The magnitude as the file keeps it, negated unsigned: the
            // negative full scale has no positive twin.
            const auto kept = static_cast<std::uint32_t>(value & keptBits);
            largest = std::max(largest, value < 0 ? 0U - kept : kept);
        }
    }
    return largest;
}

template <typename Input> auto converterTo(bool sixteenBits)
{
    return sixteenBits ? &convertFrames<Input, std::int16_t> : &convertFrames<Input, std::int32_t>;
}

} // namespace

FfmpegMediaWriter::FfmpegMediaWriter(std::unique_ptr<AlacMp4Muxer> muxer, std::size_t ringBytes)
    : m_muxer(std::move(muxer))
    , m_ringBytesRequested(ringBytes)
{ }

FfmpegMediaWriter::~FfmpegMediaWriter()
{
    // Memory only: the file is neither finished nor removed.
    m_cancelRequested.store(true, std::memory_order_release);
    wakeEncoder();
    joinEncoder();
}

bool FfmpegMediaWriter::canConvert(const AudioStreamBasicDescription& stream)
{
    const std::uint32_t flags = stream.mFormatFlags;
    if (stream.mFormatID != kAudioFormatLinearPCM || (flags & kAudioFormatFlagIsPacked) == 0
        || (flags & kAudioFormatFlagIsNonInterleaved) != 0 || (flags & kAudioFormatFlagIsBigEndian) != 0)
        return false;
    const bool floatSamples = (flags & kAudioFormatFlagIsFloat) != 0;
    const bool signedSamples = (flags & kAudioFormatFlagIsSignedInteger) != 0;
    const bool sampleTypeOk = floatSamples
        ? (!signedSamples && stream.mBitsPerChannel == 32)
        : (signedSamples && (stream.mBitsPerChannel == 16 || stream.mBitsPerChannel == 32));
    if (!sampleTypeOk)
        return false;
    if (stream.mChannelsPerFrame < 1 || stream.mChannelsPerFrame > kMaximumChannels
        || stream.mBytesPerFrame != stream.mChannelsPerFrame * stream.mBitsPerChannel / 8)
        return false;
    return std::isfinite(stream.mSampleRate) && stream.mSampleRate >= 1.0
        && stream.mSampleRate < static_cast<double>(std::numeric_limits<std::int32_t>::max()) + 1.0;
}

bool FfmpegMediaWriter::canApplyOutputSettings(const AudioOutputSettings& settings) const
{
    if (settings.formatID != kAudioFormatAppleLossless)
        return false;
    if (!std::isfinite(settings.sampleRate) || settings.sampleRate < 1.0 || settings.sampleRate > kMaximumSampleRate
        || std::floor(settings.sampleRate) != settings.sampleRate)
        return false;
    if (settings.numberOfChannels < 1 || settings.numberOfChannels > static_cast<int>(kMaximumChannels))
        return false;
    return settings.encoderBitDepthHint == 16 || settings.encoderBitDepthHint == 24;
}

bool FfmpegMediaWriter::canAddInput() const
{
    return !m_inputAdded && status() == Status::unknown;
}

void FfmpegMediaWriter::addInput(const AudioOutputSettings& settings, const AudioFormatDescription& sourceFormat)
{
    if (!canAddInput())
        return;
    m_settings = settings;
    m_format = sourceFormat.stream;
    m_bytesPerFrame = m_format.mBytesPerFrame;
    m_inputAdded = true;
    // A pair that cannot be written gets no ring; startWriting() reports it.
    if (!inputIsUsable())
        return;
    std::size_t bytes = m_ringBytesRequested;
    if (bytes == 0)
        bytes = static_cast<std::size_t>(std::ceil(kRingSeconds * m_format.mSampleRate)) * m_bytesPerFrame;
    m_ring = std::make_unique<AudioRing>(bytes);
}

bool FfmpegMediaWriter::inputIsUsable() const
{
    // No resampling and no remixing: the track has the source's rate and channels.
    return canConvert(m_format) && canApplyOutputSettings(m_settings)
        && m_settings.numberOfChannels == static_cast<int>(m_format.mChannelsPerFrame)
        && static_cast<int>(m_settings.sampleRate) == static_cast<int>(m_format.mSampleRate);
}

bool FfmpegMediaWriter::startWriting()
{
    if (status() != Status::unknown)
        return false;
    if (!m_inputAdded) {
        fail(QStringLiteral("没有音频输入"));
        return false;
    }
    if (!inputIsUsable()) {
        fail(QStringLiteral("音频格式与输出设置不符"));
        return false;
    }

    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_ALAC);
    if (!codec) {
        fail(QStringLiteral("找不到 ALAC 编码器"));
        return false;
    }
    m_encoder.reset(avcodec_alloc_context3(codec));
    m_frame.reset(av_frame_alloc());
    m_packet.reset(av_packet_alloc());
    if (!m_encoder || !m_frame || !m_packet) {
        fail(FfmpegError::text(QStringLiteral("无法打开 ALAC 编码器"), AVERROR(ENOMEM)));
        return false;
    }
    const bool sixteenBits = m_settings.encoderBitDepthHint == 16;
    const int rate = static_cast<int>(m_settings.sampleRate);
    m_encoder->sample_fmt = sixteenBits ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S32P;
    m_encoder->bits_per_raw_sample = sixteenBits ? 16 : 24;
    m_encoder->sample_rate = rate;
    m_encoder->time_base = AVRational { 1, rate };
    m_encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // The encoder takes only its own layouts (eight channels are 7.1 wide, not
    // the default 7.1): use the one with the captured channel count.
    av_channel_layout_default(&m_encoder->ch_layout, m_settings.numberOfChannels);
    for (const AVChannelLayout* layout = codec->ch_layouts; layout && layout->nb_channels > 0; ++layout) {
        if (layout->nb_channels == m_settings.numberOfChannels) {
            av_channel_layout_copy(&m_encoder->ch_layout, layout);
            break;
        }
    }
    int result = avcodec_open2(m_encoder.get(), codec, nullptr);
    if (result < 0) {
        fail(FfmpegError::text(QStringLiteral("无法打开 ALAC 编码器"), result));
        return false;
    }
    m_samplesPerEncoderFrame = static_cast<std::uint32_t>(m_encoder->frame_size > 0 ? m_encoder->frame_size : 4096);
    m_fragmentFrames = std::int64_t { rate } * kFragmentMilliseconds / 1000;

    m_frame->format = m_encoder->sample_fmt;
    m_frame->sample_rate = rate;
    m_frame->nb_samples = static_cast<int>(m_samplesPerEncoderFrame);
    result = av_channel_layout_copy(&m_frame->ch_layout, &m_encoder->ch_layout);
    if (result >= 0)
        result = av_frame_get_buffer(m_frame.get(), 0);
    if (result < 0) {
        fail(FfmpegError::text(QStringLiteral("无法打开 ALAC 编码器"), result));
        return false;
    }
    m_staging.assign(static_cast<std::size_t>(m_samplesPerEncoderFrame) * m_bytesPerFrame, std::byte { 0 });
    if ((m_format.mFormatFlags & kAudioFormatFlagIsFloat) != 0)
        m_convert = converterTo<float>(sixteenBits);
    else
        m_convert = m_format.mBitsPerChannel == 16 ? converterTo<std::int16_t>(sixteenBits)
                                                   : converterTo<std::int32_t>(sixteenBits);

    result = m_muxer->writeHeader(*m_encoder);
    if (result < 0) {
        fail(FfmpegError::text(QStringLiteral("写入文件失败"), result));
        return false;
    }
    m_status.store(static_cast<int>(Status::writing), std::memory_order_release);
    m_thread = std::thread([this] { runEncoder(); });
    return true;
}

void FfmpegMediaWriter::startSessionAtZero()
{
    // Every file starts at sample 0; presentation times come from the frame count.
}

std::int32_t FfmpegMediaWriter::createSampleBuffer(std::uint32_t frames, std::int64_t presentationFrame)
{
    // Called on the audio thread.
    m_bufferBegun = false;
    m_bufferCopied = false;
    m_bufferRefused = false;
    if (frames == 0 || presentationFrame < 0 || !m_ring)
        return kInvalidArgument;
    m_ring->discardUnpublished();
    m_bufferFrames = frames;
    m_bufferBegun = true;
    return 0;
}

std::int32_t FfmpegMediaWriter::copyIntoSampleBuffer(const AudioBufferList* list)
{
    // Called on the audio thread.
    if (!m_bufferBegun || m_bufferCopied || !list || list->mNumberBuffers != 1)
        return kInvalidArgument;
    const AudioBuffer& buffer = list->mBuffers[0];
    const std::uint64_t bytes = std::uint64_t { m_bufferFrames } * m_bytesPerFrame;
    if (buffer.mNumberChannels != m_format.mChannelsPerFrame || !buffer.mData || buffer.mDataByteSize < bytes)
        return kInvalidArgument;
    m_bufferCopied = true;
    // No room is not an error of the copy: the input reports it as not ready.
    m_bufferRefused = !m_ring->writeUnpublished(buffer.mData, static_cast<std::size_t>(bytes));
    return 0;
}

bool FfmpegMediaWriter::isReadyForMoreMediaData() const
{
    // Called on the audio thread.
    return m_status.load(std::memory_order_acquire) == static_cast<int>(Status::writing) && !m_bufferRefused
        && !m_inputFinished.load(std::memory_order_relaxed);
}

bool FfmpegMediaWriter::appendSampleBuffer()
{
    // Called on the audio thread.
    const bool accepted = m_bufferBegun && m_bufferCopied && isReadyForMoreMediaData();
    if (accepted)
        m_ring->publish();
    else if (m_ring)
        m_ring->discardUnpublished();
    m_bufferBegun = false;
    m_bufferCopied = false;
    return accepted;
}

void FfmpegMediaWriter::markAsFinished()
{
    m_inputFinished.store(true, std::memory_order_relaxed);
}

void FfmpegMediaWriter::finishWriting()
{
    if (status() == Status::unknown) {
        fail(QStringLiteral("写入尚未开始"));
        m_muxer->abandon();
        return;
    }
    if (status() == Status::writing) {
        markAsFinished();
        m_finishRequested.store(true, std::memory_order_release);
        wakeEncoder();
    }
    joinEncoder();
    if (status() == Status::writing) {
        auto finished = m_muxer->finish();
        if (finished) {
            // Ordinary, or still fragmented when only the conversion failed: valid either way.
            m_playable = true;
            m_status.store(static_cast<int>(Status::completed), std::memory_order_release);
            return;
        }
        fail(finished.error().localizedDescription());
    }
    // Failed while writing, or at the last fragment: keep the whole fragments.
    if (status() != Status::failed) {
        m_muxer->abandon();
        return;
    }
    const auto salvaged = m_muxer->salvage();
    m_playable = salvaged.ok();
    const RecorderError* refusal = salvaged ? nullptr : salvaged.error().recorderError();
    m_holdsNoAudio = refusal && refusal->kind() == RecorderError::Case::invalidOutput;
}

void FfmpegMediaWriter::cancelWriting()
{
    m_cancelRequested.store(true, std::memory_order_release);
    wakeEncoder();
    joinEncoder();
    m_muxer->abandon();
    const Status current = status();
    if (current == Status::writing || current == Status::unknown)
        m_status.store(static_cast<int>(Status::cancelled), std::memory_order_release);
}

MediaWriter::Status FfmpegMediaWriter::status() const
{
    return static_cast<Status>(m_status.load(std::memory_order_acquire));
}

std::optional<QString> FfmpegMediaWriter::error() const
{
    if (status() != Status::failed)
        return std::nullopt;
    return m_errorText;
}

bool FfmpegMediaWriter::hasPlayableFile() const
{
    return m_playable;
}

bool FfmpegMediaWriter::holdsNoAudio() const
{
    return m_holdsNoAudio;
}

std::size_t FfmpegMediaWriter::ringCapacityBytes() const
{
    return m_ring ? m_ring->capacity() : 0;
}

std::uint64_t FfmpegMediaWriter::refusedSampleBuffers() const
{
    return m_ring ? m_ring->refusals() : 0;
}

float FfmpegMediaWriter::takePeak()
{
    return static_cast<float>(m_peakMagnitude.exchange(0, std::memory_order_relaxed) / 2147483648.0);
}

void FfmpegMediaWriter::raisePeak(std::uint32_t magnitude)
{
    // The reader may reset it meanwhile: compare and swap, so that neither
    // its reset nor a higher peak is lost.
    std::uint32_t held = m_peakMagnitude.load(std::memory_order_relaxed);
    while (held < magnitude && !m_peakMagnitude.compare_exchange_weak(held, magnitude, std::memory_order_relaxed)) { }
}

void FfmpegMediaWriter::fail(const QString& text)
{
    // One thread at a time reaches here (set-up, encoder, then finishing), and only once.
    if (status() == Status::failed)
        return;
    m_errorText = text;
    m_status.store(static_cast<int>(Status::failed), std::memory_order_release);
}

void FfmpegMediaWriter::wakeEncoder()
{
    // Taking the lock orders the request before the encoder's next look at it.
    {
        const std::lock_guard lock(m_wakeMutex);
    }
    m_wake.notify_all();
}

void FfmpegMediaWriter::sleepEncoder(std::chrono::nanoseconds duration)
{
    std::unique_lock lock(m_wakeMutex);
    m_wake.wait_for(lock, duration, [this] {
        return m_finishRequested.load(std::memory_order_acquire) || m_cancelRequested.load(std::memory_order_acquire);
    });
}

void FfmpegMediaWriter::joinEncoder()
{
    if (m_thread.joinable())
        m_thread.join();
}

void FfmpegMediaWriter::runEncoder()
{
    // The encoder thread. It gives way to the audio thread when the cores are
    // busy: a preempted append is a late callback, while the encoder, many
    // times faster than real time, has the ring's five seconds to catch up.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kEncoderNiceness);
    for (;;) {
        if (m_cancelRequested.load(std::memory_order_acquire))
            return;
        // Read the request before the ring: once it is seen, everything the
        // audio thread published is already in the ring.
        const bool finishing = m_finishRequested.load(std::memory_order_acquire);
        const std::size_t wanted = std::size_t { m_samplesPerEncoderFrame - m_stagedFrames } * m_bytesPerFrame;
        const std::size_t got
            = m_ring->read(m_staging.data() + std::size_t { m_stagedFrames } * m_bytesPerFrame, wanted);
        m_stagedFrames += static_cast<std::uint32_t>(got / m_bytesPerFrame);
        if (m_stagedFrames == m_samplesPerEncoderFrame) {
            if (!encodeStagedFrames())
                return;
            continue;
        }
        if (finishing) {
            if (m_stagedFrames > 0 && !encodeStagedFrames())
                return;
            // Flush: ALAC holds nothing back, but the encoder must see the end.
            const int result = avcodec_send_frame(m_encoder.get(), nullptr);
            if (result < 0) {
                fail(FfmpegError::text(QStringLiteral("编码音频失败"), result));
                return;
            }
            drainPackets(m_encodedFrames, 0);
            return;
        }
        const auto missing = std::chrono::nanoseconds(
            static_cast<std::int64_t>((m_samplesPerEncoderFrame - m_stagedFrames) * 1e9 / m_settings.sampleRate));
        sleepEncoder(std::clamp<std::chrono::nanoseconds>(missing, kEncoderPollInterval, kEncoderLongestSleep));
    }
}

bool FfmpegMediaWriter::encodeStagedFrames()
{
    int result = av_frame_make_writable(m_frame.get());
    if (result < 0) {
        fail(FfmpegError::text(QStringLiteral("编码音频失败"), result));
        return false;
    }
    const std::uint32_t frames = m_stagedFrames;
    m_frame->nb_samples = static_cast<int>(frames);
    m_frame->pts = m_encodedFrames;
    raisePeak(m_convert(m_staging.data(), frames, m_format.mChannelsPerFrame, *m_frame));
    m_stagedFrames = 0;
    result = avcodec_send_frame(m_encoder.get(), m_frame.get());
    if (result < 0) {
        fail(FfmpegError::text(QStringLiteral("编码音频失败"), result));
        return false;
    }
    const std::int64_t pts = m_encodedFrames;
    m_encodedFrames += frames;
    return drainPackets(pts, frames);
}

bool FfmpegMediaWriter::drainPackets(std::int64_t pts, std::int64_t samples)
{
    // ALAC has no delay: one frame in, one packet out, at the frame's time.
    for (;;) {
        int result = avcodec_receive_packet(m_encoder.get(), m_packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return true;
        if (result < 0) {
            fail(FfmpegError::text(QStringLiteral("编码音频失败"), result));
            return false;
        }
        m_packet->pts = pts;
        m_packet->dts = pts;
        m_packet->duration = samples > 0 ? samples : m_packet->duration;
        pts += m_packet->duration;
        m_framesInFragment += m_packet->duration;
        result = m_muxer->writePacket(*m_packet);
        av_packet_unref(m_packet.get());
        if (result < 0) {
            fail(FfmpegError::text(QStringLiteral("写入文件失败"), result));
            return false;
        }
        if (!closeFragmentWhenDue())
            return false;
    }
}

bool FfmpegMediaWriter::closeFragmentWhenDue()
{
    // The encoder thread. The last fragment is closed by the muxer's finish().
    if (m_framesInFragment < m_fragmentFrames)
        return true;
    m_framesInFragment = 0;
    if (const int result = m_muxer->closeFragment(); result < 0) {
        fail(FfmpegError::text(QStringLiteral("写入文件失败"), result));
        return false;
    }
    return true;
}

} // namespace vessaro
