#pragma once

#include "base/AudioBufferList.h"
#include "base/AudioStreamBasicDescription.h"
#include "base/Result.h"
#include "capture/Diagnostics.h"
#include "capture/hal/AudioDeviceEvent.h"
#include "capture/hal/CaptureTarget.h"
#include "capture/hal/PlayingProgram.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace vessaro {

// Receives each IO cycle's input on the audio thread; the list is valid only
// during the call. Must not lock, allocate, make a system call or wait.
using ReceiveCallback = std::function<void(const AudioBufferList*)>;
// Told on the audio thread that the server lost audio of our stream (bytes lost,
// 0 when unknown). Same rules as ReceiveCallback. Only the losses the server
// reports arrive here: on PulseAudio the holes it marks in our stream, not the
// audio it drops when our stream's buffer overruns.
using LossCallback = std::function<void(std::uint64_t)>;
// Told that the running capture followed a new output, reconnected to a
// restarted server, or lost the server for good. Same rules as ReceiveCallback;
// never runs at the same time as it.
using EventCallback = std::function<void(AudioDeviceEvent)>;

// Where system audio enters the program. Every member is called from one
// thread at a time (the capture service's executor); the callbacks run on the
// driver's audio queue. Never call stop() from a callback.
class AudioCaptureDriver {
public:
    virtual ~AudioCaptureDriver() = default;

    // Format of the buffers start() delivers; all zeros before a successful prepare().
    virtual AudioStreamBasicDescription format() const = 0;
    virtual Diagnostics diagnostics() const = 0;

    // Acquires every platform resource except the IO callback, for `target`.
    // A program that plays nothing yet is no error: it records silence until it plays.
    virtual Result<void> prepare(const CaptureTarget& target) = 0;
    // The programs playing now, sorted by name; needs no prepare().
    virtual Result<std::vector<PlayingProgram>> playingPrograms() = 0;
    // Registers the callbacks and starts the device.
    virtual Result<void> start(ReceiveCallback receive, LossCallback lossNotice, EventCallback events) = 0;
    // Stops and releases everything; safe in any state. When it returns and
    // holdsCallbacks() is false, no callback runs or will run again, even if a
    // step failed.
    virtual Result<void> stop() = 0;
    // Whether the callbacks are still registered with the platform, so that
    // the audio thread may still call them: true from start() until a stop()
    // that released them.
    virtual bool holdsCallbacks() const = 0;
};

} // namespace vessaro
