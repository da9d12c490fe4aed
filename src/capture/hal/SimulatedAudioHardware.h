#pragma once

#include "capture/hal/AudioHardware.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <map>
#include <mutex>

namespace vessaro {

// A stand-in for the platform's audio calls, for tests: it records every call
// in order, fails any chosen call with a chosen status, counts what is held,
// and delivers audio when the test asks. Seam calls come from the driver's
// thread; deliver(), reportLoss() and reportEvent() from the test's thread,
// which plays the audio queue.
class SimulatedAudioHardware final : public AudioHardware {
public:
    enum class Call {
        createProcessTap,
        destroyProcessTap,
        readTapFormat,
        createAggregateDevice,
        destroyAggregateDevice,
        createIOProc,
        destroyIOProc,
        deviceStart,
        deviceStop,
        drainAudioQueue
    };

    explicit SimulatedAudioHardware(AudioStreamBasicDescription format = stereoFloat(48000));

    static AudioStreamBasicDescription stereoFloat(double sampleRate);
    static QString callName(Call call);

    // The next calls of `call` fail with `status` (0 clears), `times` times
    // (-1: always). drainAudioQueue cannot fail.
    void failCall(Call call, OSStatus status, int times = -1);

    // Names of every call made so far, in order.
    QStringList calls() const;
    QList<TapDescription> tapDescriptions() const;
    QList<AggregateDeviceDescription> deviceDescriptions() const;
    // Taps and devices created and not destroyed.
    int heldObjects() const;
    // IO procs registered and not removed, by hand or with their device.
    int heldIOProcs() const;

    // Runs the registered input block with `list` if the device is started.
    // Returns whether a block ran.
    bool deliver(const AudioBufferList* list);
    bool reportLoss(std::uint64_t bytes);
    // Runs the registered event block if the device is started.
    bool reportEvent(AudioDeviceEvent event);

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
    QString backendName() const override { return QStringLiteral("Simulated"); }

private:
    struct Failure {
        OSStatus status = 0;
        int times = 0;
    };
    // Records the call; its scripted status, or 0.
    OSStatus enter(Call call);
    void dropIOProc();

    // The test thread delivers audio while the driver's thread changes the
    // registration; the mutex plays the role of the audio queue's serialisation.
    mutable std::recursive_mutex m_mutex;
    AudioStreamBasicDescription m_format;
    QStringList m_calls;
    std::map<Call, Failure> m_failures;
    QList<TapDescription> m_taps;
    QList<AggregateDeviceDescription> m_devices;
    AudioObjectID m_nextObject = 100;
    AudioDeviceIOProcID m_nextIOProc = 1;
    int m_heldObjects = 0;
    int m_heldIOProcs = 0;
    AudioInputBlock m_input;
    AudioLossBlock m_loss;
    AudioEventBlock m_events;
    bool m_started = false;
};

} // namespace vessaro
