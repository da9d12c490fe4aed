#pragma once

#include "base/AudioBufferList.h"
#include "base/AudioStreamBasicDescription.h"
#include "capture/hal/AggregateDeviceDescription.h"
#include "capture/hal/AudioDeviceEvent.h"
#include "capture/hal/PlayingProgram.h"
#include "capture/hal/TapDescription.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace vessaro {

using AudioObjectID = std::uint32_t; // 0 means none
using AudioDeviceIOProcID = std::uint32_t; // 0 means none
using OSStatus = std::int32_t; // 0 means success

// Called on the audio queue once per IO cycle with that cycle's input. Must
// not lock, allocate, make a system call or wait.
using AudioInputBlock = std::function<void(const AudioBufferList*)>;
// Called on the audio queue when the server reports audio lost for our stream
// (on PulseAudio: a hole it marks in the stream); the argument is the number of bytes lost, 0 when
// unknown. Same rules as the input block.
using AudioLossBlock = std::function<void(std::uint64_t)>;
// Called when the running device followed a new output, reconnected or lost
// its server for good. Same rules as the input block; it may run on another
// thread than the input, but never at the same time as it.
using AudioEventBlock = std::function<void(AudioDeviceEvent)>;

// The platform audio calls the capture driver makes, one method per call, in
// the vocabulary of a process-tap audio layer so that each maps one to one
// onto a backend. On Linux (PulseAudioHardware): a tap is a connection to the
// sound server that found the default output's monitor source; the aggregate
// device is a record stream on that monitor (for one program, that stream
// keeps time and the program's own streams are mixed into it); the IO proc is the stream's read
// callback; starting and stopping the device uncork and cork the stream; the
// audio queue is the libpulse main loop's thread; a status is a negated
// PA_ERR_* code; an object ID is a number of the backend's own, never the
// server's index.
// Every method but the blocks is called from one thread at a time (the capture
// service's executor), never from the audio queue. Statuses are 0 on success.
class AudioHardware {
public:
    virtual ~AudioHardware() = default;

    virtual OSStatus createProcessTap(const TapDescription& description, AudioObjectID* tap) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tap) = 0;
    // The stream format of the tap's buffers.
    virtual OSStatus readTapFormat(AudioObjectID tap, AudioStreamBasicDescription* format) = 0;
    // The programs playing now, one entry per program, sorted by name. Needs no tap.
    virtual OSStatus readProcessList(std::vector<PlayingProgram>* programs) = 0;

    virtual OSStatus createAggregateDevice(const AggregateDeviceDescription& description, AudioObjectID* device) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;

    // Registers the blocks, to be run on the audio queue once the device starts.
    virtual OSStatus createIOProc(AudioObjectID device, AudioInputBlock input, AudioLossBlock loss,
        AudioEventBlock events, AudioDeviceIOProcID* io)
        = 0;
    virtual OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID io) = 0;

    virtual OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID io) = 0;
    virtual OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID io) = 0;

    // Returns only when no block of this hardware runs or is queued on the
    // audio queue. Must never be called from the audio queue.
    virtual void drainAudioQueue() = 0;

    // The name the diagnostics report for this backend.
    virtual QString backendName() const = 0;
};

} // namespace vessaro
