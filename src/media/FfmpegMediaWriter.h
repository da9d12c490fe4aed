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
// 32-bit planar with the audio in the top 24 bits, encodes 4096-sample frames
// and muxes them, closing a fragment of the file about every half second and
// syncing it to disk there, off the audio thread. The threads follow
// MediaWriter; in addition the encoder
// thread runs from startWriting() until finishWriting(), cancelWriting() or
// the destructor has joined it.
class FfmpegMediaWriter final : public MediaWriter {
public:
    // Writes through `muxer`. `ringBytes` 0 sizes the ring for five seconds of
    // the input format (a refusal ends the recording, and the encoder thread
    // may wait on the disk meanwhile); tests pass a smaller size.
    // `encoderHeld` is a test hook: while it reads true the encoder thread
    // takes nothing from the ring, as if the disk were stuck. Unset, it costs
    // nothing; it never touches the audio thread.
    explicit FfmpegMediaWriter(std::unique_ptr<AlacMp4Muxer> muxer, std::size_t ringBytes = 0,
        std::shared_ptr<const std::atomic<bool>> encoderHeld = {});
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
    void convertStagedFrames(std::uint32_t frames);
    void joinEncoder();
    // Wakes the encoder thread's sleep after a finish or cancel request.
    void wakeEncoder();
    void sleepEncoder(std::chrono::nanoseconds duration);

    // Set-up thread, then read-only.
    std::unique_ptr<AlacMp4Muxer> m_muxer;
    const std::size_t m_ringBytesRequested;
    const std::shared_ptr<const std::atomic<bool>> m_encoderHeld;
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
    std::int64_t m_encodedFrames = 0;
    std::int64_t m_fragmentFrames = 0;
    std::int64_t m_framesInFragment = 0;
    std::thread m_thread;
    // The finishing thread, after the encoder thread has joined.
    bool m_playable = false;

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
    // Never taken by the audio thread.
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    static_assert(std::atomic<int>::is_always_lock_free);
    static_assert(std::atomic<bool>::is_always_lock_free);
};

} // namespace vessaro
