#pragma once

#include "capture/hal/AudioHardware.h"
#include "capture/hal/PulseHandle.h"
#include "capture/hal/PulseMainLoop.h"

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

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
// While the device runs, a supervisor thread keeps it recording what the user
// hears, with the same device and IO-proc ids throughout:
//  - when the default output changes (or the recorded monitor disappears) it
//    opens a stream on the new default's monitor and drops the old one: the
//    server never moves a monitor stream by itself;
//  - when the server goes away it reconnects, and goes on with a new stream,
//    for up to the reconnect window; after that it reports the server lost;
//  - it compares the frames received with the time that passed, and reports
//    audio the server dropped without saying so as a loss.
// The stream keeps the format readTapFormat() reported; the server converts
// a new output's rate. Each of these is told through the event block (or the
// loss block).
//
// Threads: every method is called from one thread at a time, never from the
// audio queue. The audio queue is the main loop's thread: the input and loss
// blocks run there, with the loop's lock held, one after another. The event
// block and detected losses run on the supervisor thread, also with the lock
// held, so never at the same time as the input block.
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
    static constexpr const char* deviceUidProperty = "vessaro.device.uid";
    // Property of the connection that carries the tap's uuid.
    static constexpr const char* tapUuidProperty = "vessaro.tap.uuid";

    explicit PulseAudioHardware(std::chrono::milliseconds operationTimeout = defaultOperationTimeout,
        std::chrono::milliseconds reconnectWindow = defaultReconnectWindow);
    ~PulseAudioHardware() override;
    PulseAudioHardware(const PulseAudioHardware&) = delete;
    PulseAudioHardware& operator=(const PulseAudioHardware&) = delete;

    OSStatus createProcessTap(const TapDescription& description, AudioObjectID* tap) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus readTapFormat(AudioObjectID tap, AudioStreamBasicDescription* format) override;

    OSStatus createAggregateDevice(const AggregateDeviceDescription& description, AudioObjectID* device) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;

    OSStatus createIOProc(AudioObjectID device, AudioInputBlock input, AudioLossBlock loss, AudioEventBlock events,
        AudioDeviceIOProcID* io) override;
    OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID io) override;

    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID io) override;
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID io) override;

    void drainAudioQueue() override;
    QString backendName() const override;

    // Test hook, any thread: the next read callback sleeps this long before it
    // takes its audio, as a stalled audio thread would. Unused, it costs the
    // callback one relaxed atomic load.
    void stallAudioThreadOnce(std::chrono::milliseconds duration);

private:
    struct Tap {
        AudioObjectID id = 0;
        QString uuid;
        QByteArray name;
        PulseContextHandle context;
        QByteArray sinkName;
        QByteArray monitorSource;
        std::uint32_t sampleRate = 0;
    };
    // The default output as the server names it.
    struct Output {
        QByteArray sinkName;
        QByteArray monitorSource;
        std::uint32_t sampleRate = 0;
    };
    // Read by the callbacks on the loop's thread; changed only with the lock held.
    struct Device {
        AudioObjectID id = 0;
        AudioObjectID tap = 0;
        QByteArray name;
        QByteArray uid;
        pa_sample_spec spec {};
        PulseStreamHandle stream;
        AudioDeviceIOProcID io = 0;
        AudioInputBlock input;
        AudioLossBlock loss;
        AudioEventBlock events;
        std::atomic<std::int64_t>* stallMicroseconds = nullptr;
        // Bytes taken from the current stream; the audio queue adds to it.
        std::uint64_t bytesReceived = 0;
        // When the supervisor began to measure the current stream's intake,
        // and the frames received then.
        bool intakeFlowing = false;
        bool intakeBehind = false;
        std::optional<std::chrono::steady_clock::time_point> intakeSince;
        double intakeBaseFrames = 0;
        // Set by the callbacks for the supervisor.
        bool outputChanged = false;
        bool serverLost = false;
        bool lossReported = false;
    };

    // Lock held for all of these.
    OSStatus connect(Tap& tap);
    OSStatus findDefaultOutput(pa_context* context, Output& output);
    OSStatus openStream(
        PulseStreamHandle& handle, pa_context* context, const Device& device, const QByteArray& source, bool corked);
    OSStatus waitForOperation(pa_context* context, pa_operation* operation, pa_stream* stream);
    // Starts an operation on `stream` whose callback acknowledges it (flush,
    // cork) and waits for the answer: 0, or the failure.
    OSStatus acknowledged(pa_stream* stream, pa_operation* (*start)(pa_stream*, void* answer));
    bool holdsIOProc(AudioObjectID device, AudioDeviceIOProcID io) const;
    OSStatus contextStatus(pa_context* context) const;
    bool connectionGone(pa_stream* stream) const;
    void subscribe(pa_context* context);
    void attachStream(pa_stream* stream);
    void releaseDevice();
    void releaseTap();
    static void releaseContext(PulseContextHandle& context);
    static void releaseStream(PulseStreamHandle& stream);

    // The supervisor thread and what it does, lock held.
    void startSupervisor();
    // Without the lock; returns once the thread has ended.
    void stopSupervisor();
    void supervise();
    bool stillSupervising(const Device* device) const;
    void follow(Device& device);
    void reconnect(Device& device);
    void checkIntake(Device& device);

    static void onContextState(pa_context* context, void* userdata);
    static void onStreamState(pa_stream* stream, void* userdata);
    static void onSubscription(
        pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* userdata);
    static void onRead(pa_stream* stream, size_t bytes, void* userdata);

    const std::chrono::milliseconds m_timeout;
    const std::chrono::milliseconds m_reconnectWindow;
    PulseMainLoop m_loop; // destroyed last, after the objects attached to it
    std::unique_ptr<Tap> m_tap;
    std::unique_ptr<Device> m_device;
    AudioObjectID m_nextObjectID = 1;
    AudioDeviceIOProcID m_nextIOProcID = 1;
    std::atomic<std::int64_t> m_stallMicroseconds { 0 };
    static_assert(std::atomic<std::int64_t>::is_always_lock_free);

    // Lock held for the flag; the thread is started and joined by the caller's thread.
    bool m_stopSupervising = false;
    std::thread m_supervisor;
};

} // namespace vessaro
