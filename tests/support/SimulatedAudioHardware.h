#pragma once

#include "capture/hal/AudioHardware.h"

#include <QList>
#include <QStringList>

#include <map>
#include <mutex>

namespace vessaro {

// A stand-in for the platform's audio calls: it records every call in order,
// fails any chosen call with a chosen status, counts what is held, and
// delivers audio when the test asks. Seam calls come from the driver's
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

    static QString callName(Call call)
    {
        static const char* const names[] = { "createProcessTap", "destroyProcessTap", "readTapFormat",
            "createAggregateDevice", "destroyAggregateDevice", "createIOProc", "destroyIOProc", "deviceStart",
            "deviceStop", "drainAudioQueue" };
        return QString::fromLatin1(names[static_cast<int>(call)]);
    }

    // The next calls of `call` fail with `status` (0 clears), `times` times
    // (-1: always). drainAudioQueue cannot fail.
    void failCall(Call call, OSStatus status, int times = -1)
    {
        std::lock_guard lock(m_mutex);
        if (status == 0)
            m_failures.erase(call);
        else
            m_failures[call] = { status, times };
    }

    // Every call made so far, in order.
    QStringList calls() const { return locked(m_calls); }
    QList<TapDescription> tapDescriptions() const { return locked(m_taps); }
    QList<AggregateDeviceDescription> deviceDescriptions() const { return locked(m_devices); }
    // Taps and devices created and not destroyed.
    int heldObjects() const { return locked(m_heldObjects); }
    // IO procs registered and not removed, by hand or with their device.
    int heldIOProcs() const { return locked(m_heldIOProcs); }

    // Each runs its registered block if the device is started, and says whether one ran.
    bool deliver(const AudioBufferList* list) { return run(m_input, list); }
    bool reportLoss(std::uint64_t bytes) { return run(m_loss, bytes); }
    bool reportEvent(AudioDeviceEvent event) { return run(m_events, event); }

    OSStatus createProcessTap(const TapDescription& description, AudioObjectID* tap) override
    {
        std::lock_guard lock(m_mutex);
        m_taps.append(description);
        return create(Call::createProcessTap, tap);
    }
    OSStatus destroyProcessTap(AudioObjectID) override { return destroy(Call::destroyProcessTap); }
    OSStatus readTapFormat(AudioObjectID, AudioStreamBasicDescription* format) override
    {
        std::lock_guard lock(m_mutex);
        if (OSStatus status = enter(Call::readTapFormat))
            return status;
        *format = AudioStreamBasicDescription::stereoFloat(48000);
        return 0;
    }
    OSStatus createAggregateDevice(const AggregateDeviceDescription& description, AudioObjectID* device) override
    {
        std::lock_guard lock(m_mutex);
        m_devices.append(description);
        return create(Call::createAggregateDevice, device);
    }
    OSStatus destroyAggregateDevice(AudioObjectID) override { return destroy(Call::destroyAggregateDevice); }
    OSStatus createIOProc(AudioObjectID, AudioInputBlock input, AudioLossBlock loss, AudioEventBlock events,
        AudioDeviceIOProcID* io) override
    {
        std::lock_guard lock(m_mutex);
        if (OSStatus status = enter(Call::createIOProc))
            return status;
        m_input = std::move(input);
        m_loss = std::move(loss);
        m_events = std::move(events);
        m_heldIOProcs = 1;
        *io = m_nextIOProc++;
        return 0;
    }
    OSStatus destroyIOProc(AudioObjectID, AudioDeviceIOProcID) override { return destroy(Call::destroyIOProc); }
    OSStatus deviceStart(AudioObjectID, AudioDeviceIOProcID) override { return startOrStop(Call::deviceStart, true); }
    OSStatus deviceStop(AudioObjectID, AudioDeviceIOProcID) override { return startOrStop(Call::deviceStop, false); }
    void drainAudioQueue() override
    {
        std::lock_guard lock(m_mutex);
        m_calls.append(callName(Call::drainAudioQueue));
    }
    QString backendName() const override { return QStringLiteral("Simulated"); }

private:
    template <typename T> T locked(const T& value) const
    {
        std::lock_guard lock(m_mutex);
        return value;
    }
    template <typename Block, typename Argument> bool run(const Block& block, Argument argument)
    {
        std::lock_guard lock(m_mutex);
        if (!m_started || !block)
            return false;
        block(argument);
        return true;
    }
    // Records the call; its scripted status, or 0. Mutex held.
    OSStatus enter(Call call)
    {
        m_calls.append(callName(call));
        auto found = m_failures.find(call);
        if (found == m_failures.end())
            return 0;
        const OSStatus status = found->second.status;
        if (found->second.times > 0 && --found->second.times == 0)
            m_failures.erase(found);
        return status;
    }
    OSStatus create(Call call, AudioObjectID* object)
    {
        if (OSStatus status = enter(call))
            return status;
        ++m_heldObjects;
        *object = m_nextObject++;
        return 0;
    }
    OSStatus destroy(Call call)
    {
        std::lock_guard lock(m_mutex);
        if (OSStatus status = enter(call))
            return status;
        if (call == Call::destroyProcessTap || call == Call::destroyAggregateDevice)
            --m_heldObjects;
        if (call == Call::destroyProcessTap)
            return 0;
        // A device takes its IO proc with it, and stops.
        m_input = nullptr;
        m_loss = nullptr;
        m_events = nullptr;
        m_heldIOProcs = 0;
        m_started = m_started && call == Call::destroyIOProc;
        return 0;
    }
    OSStatus startOrStop(Call call, bool started)
    {
        std::lock_guard lock(m_mutex);
        if (OSStatus status = enter(call))
            return status;
        m_started = started;
        return 0;
    }

    struct Failure {
        OSStatus status = 0;
        int times = 0;
    };
    // The test thread delivers audio while the driver's thread changes the
    // registration; the mutex plays the role of the audio queue's serialisation.
    mutable std::recursive_mutex m_mutex;
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
