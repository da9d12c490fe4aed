#pragma once

#include "base/AudioBufferList.h"
#include "base/Result.h"
#include "media/AudioFormatDescription.h"
#include "media/AudioOutputSettings.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace vessaro {

// Writes one MPEG-4 file with one audio track, shaped like the platform's
// asset writer. Threads:
//  - set-up (canApplyOutputSettings .. startSessionAtZero): the thread that
//    builds the writer (the capture service's executor);
//  - createSampleBuffer, copyIntoSampleBuffer, isReadyForMoreMediaData,
//    appendSampleBuffer: the audio thread only, one call at a time; they must
//    not lock, allocate, make a system call or wait;
//  - markAsFinished, finishWriting, cancelWriting: one thread at a time, only
//    after the audio thread has been handed over (the driver's stop());
//  - status and error: any thread;
//  - takePeak: one thread at a time, never the audio thread.
class MediaWriter {
public:
    enum class Status { unknown = 0, writing = 1, completed = 2, failed = 3, cancelled = 4 };

    virtual ~MediaWriter() = default;

    virtual bool canApplyOutputSettings(const AudioOutputSettings& settings) const = 0;
    virtual bool canAddInput() const = 0;
    // Adds the one audio input: encoded with `settings`, fed with `sourceFormat`.
    // Tuned for a live source.
    virtual void addInput(const AudioOutputSettings& settings, const AudioFormatDescription& sourceFormat) = 0;
    virtual bool startWriting() = 0;
    virtual void startSessionAtZero() = 0;

    // Begins a sample buffer of `frames` frames presented at `presentationFrame`.
    virtual std::int32_t createSampleBuffer(std::uint32_t frames, std::int64_t presentationFrame) = 0;
    // Copies the audio bytes of the buffer begun last; the list need not outlive the call.
    virtual std::int32_t copyIntoSampleBuffer(const AudioBufferList* list) = 0;
    virtual bool isReadyForMoreMediaData() const = 0;
    // Submits the buffer begun last. False when the input refused it.
    virtual bool appendSampleBuffer() = 0;

    virtual void markAsFinished() = 0;
    // Finalises the file; returns when it is complete or has failed. Blocks the
    // calling thread, so call it on a general-purpose thread. After a failure
    // (also one met while writing) it keeps what it can: see hasPlayableFile().
    virtual void finishWriting() = 0;
    virtual void cancelWriting() = 0;

    virtual Status status() const = 0;
    // The writer's own error text, if it has one.
    virtual std::optional<QString> error() const = 0;
    // After finishWriting(): whether the file is valid media holding every
    // sample written before any failure. Always so when completed; after a
    // failure, when some audio reached the disk whole. The finishing thread.
    virtual bool hasPlayableFile() const = 0;
    // After finishWriting(): whether a parse of the file proved that it holds
    // no whole audio, so that removing it loses nothing. False whenever that
    // is not known (the file could not be read): such a file is kept. The
    // finishing thread.
    virtual bool holdsNoAudio() const = 0;

    // The peak magnitude of the samples written since the last call, as the
    // file keeps them: 0..1 of full scale, 0 when nothing but digital zero
    // (or nothing at all) was written. Measured off the audio thread.
    virtual float takePeak() = 0;
};

} // namespace vessaro
