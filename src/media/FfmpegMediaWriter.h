#pragma once

#include "media/FfmpegHandles.h"
#include "media/MediaWriter.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vessaro {

class AlacMp4Muxer;
class AudioRing;

// MediaWriter over libavcodec's ALAC encoder and libavformat's mp4 muxer.
//
// The audio thread copies each sample buffer into an AudioRing and publishes
// it; one encoder thread per writer polls the ring, converts the samples to
// 32-bit planar with the audio in the top 24 bits (noting their peak for
// takePeak(), so that the audio thread does no more), encodes 4096-sample frames
// and muxes them, closing a fragment of the file about every half second; the
// muxer syncs it to disk on a thread of its own, so that a stalled disk never
// stops the encoder from draining the ring. The threads follow
// MediaWriter; in addition the encoder
// thread runs from startWriting() until finishWriting(), cancelWriting() or
// the destructor has joined it.
class FfmpegMediaWriter final : public MediaWriter {
public:
    // Writes through `muxer`. `ringBytes` 0 sizes the ring for five seconds of
    // the input format (a refusal ends the recording, and the encoder thread
    // may wait on a write meanwhile, never on a sync); tests pass a smaller size.
    explicit FfmpegMediaWriter(std::unique_ptr<AlacMp4Muxer> muxer, std::size_t ringBytes = 0);
    ~FfmpegMediaWriter() override;
    FfmpegMediaWriter(const FfmpegMediaWriter&) = delete;
    FfmpegMediaWriter& operator=(const FfmpegMediaWriter&) = delete;

    // Whether the writer converts this source format: interleaved, packed,
    // little-endian linear PCM of float 32-bit or signed 16/32-bit samples,
    // 1 to 8 channels, a finite rate above 0 that fits a signed 32-bit integer.
    static bool canConvert(const AudioStreamBasicDescription& stream);

    bool canApplyOutputSettings(const AudioOutputSettings& settings) const override;
    bool canAddInput() const override;
    void addInput(const AudioOutputSettings& settings, const AudioFormatDescription& sourceFormat) override;
    bool startWriting() override;
    void startSessionAtZero() override;

    std::int32_t createSampleBuffer(std::uint32_t frames, std::int64_t presentationFrame) override;
    std::int32_t copyIntoSampleBuffer(const AudioBufferList* list) override;
    bool isReadyForMoreMediaData() const override;
    bool appendSampleBuffer() override;

    void markAsFinished() override;
    void finishWriting() override;
    void cancelWriting() override;

    Status status() const override;
    std::optional<QString> error() const override;
    bool hasPlayableFile() const override;
    bool holdsNoAudio() const override;
    float takePeak() override;

    // The ring's size in bytes once the input is added, else 0. Set-up thread.
    std::size_t ringCapacityBytes() const;
    // Sample buffers refused for want of room in the ring. Any thread.
    std::uint64_t refusedSampleBuffers() const;

private:
    bool inputIsUsable() const;
    void fail(const QString& text);
    void runEncoder();
    bool encodeStagedFrames();
    bool drainPackets(std::int64_t pts, std::int64_t samples);
    bool closeFragmentWhenDue();
    void joinEncoder();
    // Wakes the encoder thread's sleep after a finish or cancel request.
    void wakeEncoder();
    void sleepEncoder(std::chrono::nanoseconds duration);
    // The encoder thread, after each conversion.
    void raisePeak(std::uint32_t magnitude);

    // Set-up thread, then read-only.
    std::unique_ptr<AlacMp4Muxer> m_muxer;
    const std::size_t m_ringBytesRequested;
    AudioOutputSettings m_settings;
    AudioStreamBasicDescription m_format;
    bool m_inputAdded = false;
    std::uint32_t m_bytesPerFrame = 0;
    std::unique_ptr<AudioRing> m_ring;

    // Encoder thread while it runs, then the finishing thread.
    ffmpeg::CodecContextPtr m_encoder;
    ffmpeg::FramePtr m_frame;
    ffmpeg::PacketPtr m_packet;
    std::vector<std::byte> m_staging;
    std::uint32_t m_stagedFrames = 0;
    std::uint32_t m_samplesPerEncoderFrame = 0;
    // Staged interleaved frames into the encoder frame's planes, returning
    // their peak: chosen once for the input and output formats when writing
    // starts.
    std::uint32_t (*m_convert)(const std::byte* source, std::uint32_t frames, std::uint32_t channels, AVFrame& frame)
        = nullptr;
    std::int64_t m_encodedFrames = 0;
    std::int64_t m_fragmentFrames = 0;
    std::int64_t m_framesInFragment = 0;
    std::thread m_thread;
    // The finishing thread, after the encoder thread has joined.
    bool m_playable = false;
    bool m_holdsNoAudio = false;

    // Audio thread only: the sample buffer being built.
    std::uint32_t m_bufferFrames = 0;
    bool m_bufferBegun = false;
    bool m_bufferCopied = false;
    bool m_bufferRefused = false;

    // Cross-thread state. The error text is written once, before the status
    // that makes it visible is stored with release; readers load the status
    // with acquire before they read the text.
    std::atomic<int> m_status { static_cast<int>(Status::unknown) };
    QString m_errorText;
    std::atomic<bool> m_inputFinished { false };
    std::atomic<bool> m_finishRequested { false };
    std::atomic<bool> m_cancelRequested { false };
    // The largest magnitude converted since takePeak() last looked,
    // top-aligned in 32 bits: raised by the encoder thread, reset by the reader.
    std::atomic<std::uint32_t> m_peakMagnitude { 0 };
    static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
    // Never taken by the audio thread.
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    static_assert(std::atomic<int>::is_always_lock_free);
    static_assert(std::atomic<bool>::is_always_lock_free);
};

} // namespace vessaro
