#pragma once

#include "capture/hal/AudioHardware.h"

#include <QList>

#include <map>
#include <mutex>
#include <vector>

namespace vessaro {

// A stand-in for the platform's audio calls: records every call, fails any chosen call with a chosen status, counts
// what is held, and delivers audio when the test asks. Seam calls come from the driver's thread; deliver(),
// reportLoss() and reportEvent() from the test's thread, which plays the audio queue.
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
        drainAudioQueue,
        readProcessList
    };

    // The next calls of `call` fail with `status`, `times` times (-1: always). drainAudioQueue cannot fail.
    void failCall(Call call, OSStatus status, int times = -1)
    {
        std::lock_guard lock(m_mutex);
        m_failures[call] = { status, times };
    }

    // What readProcessList reports.
    void setPlayingPrograms(std::vector<PlayingProgram> programs) { m_programs = std::move(programs); }

    // Every call made so far, in order.
    QList<Call> calls() const { return locked(m_calls); }
    QList<TapDescription> tapDescriptions() const { return locked(m_taps); }
    QList<AggregateDeviceDescription> deviceDescriptions() const { return locked(m_devices); }
    // Taps and devices created and not destroyed; an IO proc goes with its device.
    int heldObjects() const { return locked(m_heldObjects); }

    // Each runs its registered block if the device is started, and says whether one ran.
    bool deliver(const AudioBufferList* list) { return run(m_input, list); }
    bool reportLoss(std::uint64_t bytes) { return run(m_loss, bytes); }
    bool reportEvent(AudioDeviceEvent event) { return run(m_events, event); }

    OSStatus createProcessTap(const TapDescription& description, AudioObjectID* tap) override
    {
        return enter(Call::createProcessTap, [&] { m_taps.append(description), ++m_heldObjects, *tap = m_next++; });
    }
    OSStatus destroyProcessTap(AudioObjectID) override
    {
        return enter(Call::destroyProcessTap, [&] { --m_heldObjects; });
    }
    OSStatus readTapFormat(AudioObjectID, AudioStreamBasicDescription* format) override
    {
        return enter(Call::readTapFormat, [&] { *format = AudioStreamBasicDescription::stereoFloat(48000); });
    }
    OSStatus readProcessList(std::vector<PlayingProgram>* programs) override
    {
        return enter(Call::readProcessList, [&] { *programs = m_programs; });
    }
    OSStatus createAggregateDevice(const AggregateDeviceDescription& description, AudioObjectID* device) override
    {
        return enter(
            Call::createAggregateDevice, [&] { m_devices.append(description), ++m_heldObjects, *device = m_next++; });
    }
    // A device takes its IO proc with it, and stops.
    OSStatus destroyAggregateDevice(AudioObjectID) override
    {
        return enter(Call::destroyAggregateDevice, [&] { --m_heldObjects, unregister(), m_started = false; });
    }
    OSStatus createIOProc(AudioObjectID, AudioInputBlock input, AudioLossBlock loss, AudioEventBlock events,
        AudioDeviceIOProcID* io) override
    {
        return enter(Call::createIOProc,
            [&] { m_input = std::move(input), m_loss = std::move(loss), m_events = std::move(events), *io = 1; });
    }
    OSStatus destroyIOProc(AudioObjectID, AudioDeviceIOProcID) override
    {
        return enter(Call::destroyIOProc, [&] { unregister(); });
    }
    OSStatus deviceStart(AudioObjectID, AudioDeviceIOProcID) override
    {
        return enter(Call::deviceStart, [&] { m_started = true; });
    }
    OSStatus deviceStop(AudioObjectID, AudioDeviceIOProcID) override
    {
        return enter(Call::deviceStop, [&] { m_started = false; });
    }
    void drainAudioQueue() override
    {
        enter(Call::drainAudioQueue, [] {});
    }
    QString backendName() const override { return QStringLiteral("Simulated"); }

private:
    // A copy of `field`, taken under the lock.
    template <typename T> T locked(const T& field) const
    {
        std::lock_guard lock(m_mutex);
        return field;
    }
    template <typename Block, typename Argument> bool run(const Block& block, Argument argument)
    {
        std::lock_guard lock(m_mutex);
        return m_started && block && (block(argument), true);
    }
    // Records the call and fails it as scripted, or does `effect` and returns 0.
    template <typename Effect> OSStatus enter(Call call, Effect effect)
    {
        std::lock_guard lock(m_mutex);
        m_calls.append(call);
        auto& [status, times] = m_failures[call]; // {0, 0}: succeeds
        const OSStatus result = call == Call::drainAudioQueue ? 0 : status;
        if (result == 0)
            effect();
        else if (times > 0 && --times == 0)
            status = 0;
        return result;
    }
    void unregister() { m_input = nullptr, m_loss = nullptr, m_events = nullptr; }

    // The test thread delivers audio while the driver's thread changes the registration; the mutex plays the role
    // of the audio queue's serialisation.
    mutable std::recursive_mutex m_mutex;
    QList<Call> m_calls;
    std::map<Call, std::pair<OSStatus, int>> m_failures; // status, times left
    QList<TapDescription> m_taps;
    QList<AggregateDeviceDescription> m_devices;
    std::vector<PlayingProgram> m_programs;
    AudioObjectID m_next = 100;
    int m_heldObjects = 0;
    AudioInputBlock m_input;
    AudioLossBlock m_loss;
    AudioEventBlock m_events;
    bool m_started = false;
};

} // namespace vessaro
