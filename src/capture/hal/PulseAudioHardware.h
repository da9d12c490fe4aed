#pragma once

#include "capture/hal/AudioHardware.h"
#include "capture/hal/PulseHandle.h"
#include "capture/hal/PulseMainLoop.h"

#include <QByteArray>

#include <chrono>
#include <memory>

namespace vessaro {

// The capture seam over the PulseAudio protocol (PulseAudio itself, or
// PipeWire through pipewire-pulse).
//
// A tap is a connection to the server that has found the default output's
// monitor source and rate; the aggregate device is a record stream on that
// monitor, float32 stereo at the output's rate; the IO proc is the stream's
// read callback. The loss block hears of holes the server marks in our stream
// (it skipped audio and says how much); audio it drops when our stream's
// buffer overruns is not reported to a record stream. The object owns its main loop and connection: no state is
// shared between objects. It holds at most one tap and one device at a time.
//
// Threads: every method is called from one thread at a time, never from the
// audio queue. The audio queue is the main loop's thread: the blocks run
// there, with the loop's lock held, one after another.
//
// Statuses are 0 or a negated PulseAudio error code (PA_ERR_*). Every wait on
// the server ends after the operation timeout with -PA_ERR_TIMEOUT. Once the
// connection is gone (the server died) stopping and destroying succeed, since
// the server holds nothing of ours any more.
class PulseAudioHardware final : public AudioHardware {
public:
    static constexpr std::chrono::milliseconds defaultOperationTimeout {5000};
    // Property of the record stream that carries the aggregate device's uid.
    static constexpr const char* deviceUidProperty = "vessaro.device.uid";
    // Property of the connection that carries the tap's uuid.
    static constexpr const char* tapUuidProperty = "vessaro.tap.uuid";

    explicit PulseAudioHardware(std::chrono::milliseconds operationTimeout = defaultOperationTimeout);
    ~PulseAudioHardware() override;
    PulseAudioHardware(const PulseAudioHardware&) = delete;
    PulseAudioHardware& operator=(const PulseAudioHardware&) = delete;

    OSStatus createProcessTap(const TapDescription& description, AudioObjectID* tap) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus readTapFormat(AudioObjectID tap, AudioStreamBasicDescription* format) override;

    OSStatus createAggregateDevice(const AggregateDeviceDescription& description, AudioObjectID* device) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;

    OSStatus createIOProc(AudioObjectID device, AudioInputBlock input, AudioLossBlock loss,
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
        PulseContextHandle context;
        QByteArray monitorSource;
        std::uint32_t sampleRate = 0;
    };
    // Read by the callbacks on the loop's thread; changed only with the lock held.
    struct Device {
        AudioObjectID id = 0;
        AudioObjectID tap = 0;
        PulseStreamHandle stream;
        AudioDeviceIOProcID io = 0;
        AudioInputBlock input;
        AudioLossBlock loss;
    };

    // Lock held for all of these.
    OSStatus connect(Tap& tap, const TapDescription& description);
    OSStatus findDefaultOutput(Tap& tap);
    OSStatus openStream(Device& device, const Tap& tap, const AggregateDeviceDescription& description);
    OSStatus waitForOperation(pa_operation* operation, pa_stream* stream);
    // Starts an operation on `stream` whose callback acknowledges it (flush,
    // cork) and waits for the answer: 0, or the failure.
    OSStatus acknowledged(pa_stream* stream, pa_operation* (*start)(pa_stream*, void* answer));
    bool holdsIOProc(AudioObjectID device, AudioDeviceIOProcID io) const;
    OSStatus contextStatus() const;
    bool connectionGone(pa_stream* stream) const;
    void releaseDevice();
    void releaseTap();

    static void onContextState(pa_context* context, void* userdata);
    static void onStreamState(pa_stream* stream, void* userdata);
    static void onRead(pa_stream* stream, size_t bytes, void* userdata);

    const std::chrono::milliseconds m_timeout;
    PulseMainLoop m_loop;   // destroyed last, after the objects attached to it
    std::unique_ptr<Tap> m_tap;
    std::unique_ptr<Device> m_device;
    AudioObjectID m_nextObjectID = 1;
    AudioDeviceIOProcID m_nextIOProcID = 1;
};

} // namespace vessaro
