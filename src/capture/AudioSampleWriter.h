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
// general-purpose thread); url() anywhere. The file is locked (FileLock)
// from creation until it is removed or handed over.
class AudioSampleWriter {
public:
    // Starts writing at time zero, or fails: the format step first, before any
    // file exists. `writers` defaults to the platform's media backend.
    static Result<std::shared_ptr<AudioSampleWriter>> create(const AudioStreamBasicDescription& format,
                                                             std::shared_ptr<const MediaWriterFactory> writers = {});
    ~AudioSampleWriter();
    AudioSampleWriter(const AudioSampleWriter&) = delete;
    AudioSampleWriter& operator=(const AudioSampleWriter&) = delete;

    const QString& url() const { return m_url; }

    // Audio thread. One sample buffer per call, time-stamped by the frame
    // counter; never waits, never retries. The first refusal ends the intake.
    void append(const AudioBufferList* list);
    // Audio thread. The server lost audio: the recording has a hole, so the
    // intake ends exactly as on a refusal.
    void noteLoss(std::uint64_t bytesLost);

    // Finalises the file and hands its location over, or removes it and reports
    // the first failure. The file's lock stays with the writer until it is released.
    Result<QString> finish();
    // Finalises the file keeping every sample that reached it whole, and hands
    // it over with its lock; reports the first failure beside it. Without a
    // valid file (no audio, or none written whole) it is removed.
    FinishedWriting finishKeepingAudio();
    // Cancels writing and removes the file; never fails.
    void discard();

    // Frames accepted so far. Read only after the hand-over.
    std::int64_t frames() const { return m_frames; }

    struct Key {
        explicit Key() = default;
    };
    AudioSampleWriter(Key, QString url, std::unique_ptr<MediaWriter> writer, AudioStreamBasicDescription format);

private:
    void fail(RecorderError error);

    const QString m_url;
    const std::unique_ptr<MediaWriter> m_writer;
    const AudioStreamBasicDescription m_format;
    // Touched by the audio thread until the hand-over, then by finish/discard.
    std::int64_t m_frames = 0;
    std::optional<RecorderError> m_failure;
    // Held from creation until the file is handed over or removed.
    FileLock m_lock;
};

} // namespace vessaro
