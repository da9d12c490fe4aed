#pragma once

#include "base/AudioBufferList.h"
#include "base/AudioStreamBasicDescription.h"
#include "base/FileLock.h"
#include "base/RecorderError.h"
#include "base/Result.h"
#include "capture/FinishedWriting.h"
#include "media/AudioFormatDescription.h"
#include "media/MediaWriter.h"
#include "media/MediaWriterFactory.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

namespace vessaro {

// The sink of one recording: encodes every buffer the driver delivers as ALAC
// into a fresh temporary MPEG-4 file. It never makes the audio thread wait:
// when the file cannot keep up it stops taking audio and says so at the end.
//
// Threads: create() on the capture service's executor; append() and
// noteLoss() on the audio thread only; finish() and discard() once, after the
// driver's stop() has returned (finish() blocks, so run it on a
// general-purpose thread); takePeak() on the executor's watch; path(),
// interruption() and capturedSeconds() anywhere. The file is locked
// (FileLock) from creation until it is removed or handed over.
class AudioSampleWriter {
public:
    // Starts writing at time zero, or fails: the format step first, before any
    // file exists. `writers` defaults to the platform's media backend.
    static Result<std::shared_ptr<AudioSampleWriter>> create(
        const AudioStreamBasicDescription& format, std::shared_ptr<const MediaWriterFactory> writers = {});
    ~AudioSampleWriter();
    AudioSampleWriter(const AudioSampleWriter&) = delete;
    AudioSampleWriter& operator=(const AudioSampleWriter&) = delete;

    const QString& path() const { return m_path; }

    // `failure`, told with where the file that may hold the audio stays: a
    // file is removed only once a parse has proved it holds none. Any thread.
    static RecorderError keptAt(const Error& failure, const QString& path);

    // Audio thread. One sample buffer per call, time-stamped by the frame
    // counter; never waits, never retries. The first refusal ends the intake.
    void append(const AudioBufferList* list);
    // Audio thread. The server lost audio: the recording has a hole, so the
    // intake ends exactly as on a refusal.
    void noteLoss(std::uint64_t bytesLost);

    // Any thread, while recording: why the intake ended, once it has (the
    // failure finish() will report, or the file writer's own error), else none.
    std::optional<RecorderError> interruption() const;
    // Any thread: the duration of the audio accepted so far.
    double capturedSeconds() const;
    // The capture service's executor, while recording: the peak of what
    // reached the file since the last call (MediaWriter::takePeak).
    float takePeak() { return m_writer->takePeak(); }

    // finishKeepingAudio() for a whole take: its location, or the failure,
    // which says where the file stays when it may hold audio. The file's lock
    // stays with the writer until it is released.
    Result<QString> finish();
    // Finalises the file keeping every sample that reached it whole, and hands
    // it over with its lock; reports the first failure beside it. A file is
    // removed only when it is proven to hold no audio (none accepted, or none
    // written whole); one that cannot be read stays, unlocked, and the failure
    // says where.
    FinishedWriting finishKeepingAudio();
    // Cancels writing and removes the file; never fails.
    void discard();

    // Frames accepted so far. Read only after the hand-over.
    std::int64_t frames() const { return m_frames.load(std::memory_order_relaxed); }
    // Whether every sample accepted was digital silence (a zero in the file).
    // Read only after the hand-over.
    bool isSilent() const { return !m_heardSound.load(std::memory_order_relaxed); }

    struct Key {
        explicit Key() = default;
    };
    AudioSampleWriter(Key, QString path, std::unique_ptr<MediaWriter> writer, AudioStreamBasicDescription format);

private:
    void fail(RecorderError error);
    bool holdsSound(const AudioBufferList& list, std::uint32_t frameCount) const;

    const QString m_path;
    const std::unique_ptr<MediaWriter> m_writer;
    const AudioStreamBasicDescription m_format;
    // Written by the audio thread only. Other threads may read the counter at
    // any time (relaxed: a glimpse), and the failure once m_intakeEnded, stored
    // with release after it, reads true with acquire: it is never changed again.
    std::atomic<std::int64_t> m_frames { 0 };
    std::atomic<bool> m_heardSound { false };
    std::optional<RecorderError> m_failure;
    std::atomic<bool> m_intakeEnded { false };
    static_assert(std::atomic<std::int64_t>::is_always_lock_free);
    static_assert(std::atomic<bool>::is_always_lock_free);
    // Held from creation until the file is handed over or removed.
    FileLock m_lock;
};

} // namespace vessaro
