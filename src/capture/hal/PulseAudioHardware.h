#pragma once

#include "capture/hal/AudioHardware.h"
#include "capture/hal/PulseConnection.h"
#include "capture/hal/PulseMainLoop.h"
#include "capture/hal/PulseProgramStreams.h"
#include "capture/hal/PulseStream.h"
#include "capture/hal/PulseSupervisor.h"

#include <QByteArray>

#include <chrono>
#include <memory>

namespace vessaro {

// The capture seam over the PulseAudio protocol (PulseAudio itself, or
// PipeWire through pipewire-pulse): the seam's bookkeeping. It holds at most
// one tap and one device at a time, and owns its main loop: no state is
// shared between objects.
//
// A tap is a PulseConnection that has found the default output's monitor
// source and rate; the aggregate device is a PulseStream on that monitor,
// float32 stereo at the output's rate; the IO proc is the stream's read
// callback. The loss block hears of holes the server marks in our stream (it
// skipped audio and says how much); audio it drops when our stream's buffer
// overruns is not reported to a record stream. While the device runs, a
// PulseSupervisor keeps it recording what the user hears, with the same
// device and IO-proc ids throughout, and reports through the event block
// (or the loss block) what it did. The stream keeps the format
// readTapFormat() reported; the server converts a new output's rate.
//
// A tap of one program adds that program's playback streams, each recorded
// through a monitor of its own (PulseProgramStreams): the stream on the
// default output's monitor keeps time, and each of its cycles delivers the
// mix of what the program's streams gave, zeros where they gave nothing. So a
// program that pauses, quits or never plays records silence, and one that
// comes back is heard again; following the output and reconnecting work as
// for every program, and a reconnection opens the program's streams anew.
// readProcessList() makes a connection of its own for its one look.
//
// Threads: every method is called from one thread at a time, never from the
// audio queue. The audio queue is the main loop's thread: the input and loss
// blocks run there, with the loop's lock held, one after another. The event
// block and detected losses run on the supervisor's thread, also with the
// lock held, so never at the same time as the input block.
//
// Statuses are 0 or a negated PulseAudio error code (PA_ERR_*). Every wait on
// the server ends after the operation timeout with -PA_ERR_TIMEOUT. Once the
// connection is gone (the server died) stopping and destroying succeed, since
// the server holds nothing of ours any more.
class PulseAudioHardware final : public AudioHardware {
public:
    static constexpr std::chrono::milliseconds defaultOperationTimeout { 5000 };
    // How long a running device waits for a server that went away.
    static constexpr std::chrono::milliseconds defaultReconnectWindow { 10000 };
    // Property of the record stream that carries the aggregate device's uid.
    static constexpr const char* deviceUidProperty = PulseStream::uidProperty;
    // Property of the connection that carries the tap's uuid.
    static constexpr const char* tapUuidProperty = PulseConnection::uuidProperty;

    explicit PulseAudioHardware(std::chrono::milliseconds operationTimeout = defaultOperationTimeout,
        std::chrono::milliseconds reconnectWindow = defaultReconnectWindow);
    ~PulseAudioHardware() override;
    PulseAudioHardware(const PulseAudioHardware&) = delete;
    PulseAudioHardware& operator=(const PulseAudioHardware&) = delete;

    OSStatus createProcessTap(const TapDescription& description, AudioObjectID* tap) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus readTapFormat(AudioObjectID tap, AudioStreamBasicDescription* format) override;
    OSStatus readProcessList(std::vector<PlayingProgram>* programs) override;

    OSStatus createAggregateDevice(const AggregateDeviceDescription& description, AudioObjectID* device) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;

    OSStatus createIOProc(AudioObjectID device, AudioInputBlock input, AudioLossBlock loss, AudioEventBlock events,
        AudioDeviceIOProcID* io) override;
    OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID io) override;

    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID io) override;
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID io) override;

    void drainAudioQueue() override;
    QString backendName() const override;

private:
    struct Tap {
        AudioObjectID id = 0;
        QString uuid;
        std::uint32_t sampleRate = 0;
        CaptureTarget target;
        // Where a new device records; the supervisor keeps it current.
        QByteArray monitorSource;
        std::unique_ptr<PulseConnection> connection;
    };
    // Its stream is read by the callbacks on the loop's thread; changed only with the lock held.
    struct Device {
        AudioObjectID id = 0;
        AudioObjectID tap = 0;
        AudioDeviceIOProcID io = 0;
        AudioInputBlock input;
        AudioLossBlock loss;
        AudioEventBlock events;
        std::unique_ptr<PulseStream> stream;
        std::unique_ptr<PulseProgramStreams> programs; // null: every program is recorded
    };
    // The blocks of an IO proc, taken out so that their captures die after the lock is let go.
    struct Blocks {
        AudioInputBlock input;
        AudioLossBlock loss;
        AudioEventBlock events;
    };

    bool holdsIOProc(AudioObjectID device, AudioDeviceIOProcID io) const;
    // Lock held for these.
    bool connectionGone() const;
    // Stops the reading and takes the IO proc's blocks out.
    Blocks takeBlocks();

    const std::chrono::milliseconds m_timeout;
    PulseMainLoop m_loop; // destroyed last, after the objects attached to it
    PulseSupervisor m_supervisor;
    std::unique_ptr<Tap> m_tap;
    std::unique_ptr<Device> m_device;
    AudioObjectID m_nextObjectID = 1;
    AudioDeviceIOProcID m_nextIOProcID = 1;
};

} // namespace vessaro
