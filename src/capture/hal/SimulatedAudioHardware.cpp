#include "capture/hal/SimulatedAudioHardware.h"

namespace vessaro {

SimulatedAudioHardware::SimulatedAudioHardware(AudioStreamBasicDescription format)
    : m_format(format)
{ }

AudioStreamBasicDescription SimulatedAudioHardware::stereoFloat(double sampleRate)
{
    AudioStreamBasicDescription format;
    format.mSampleRate = sampleRate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = 8;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 8;
    format.mChannelsPerFrame = 2;
    format.mBitsPerChannel = 32;
    return format;
}

QString SimulatedAudioHardware::callName(Call call)
{
    switch (call) {
    case Call::createProcessTap:
        return QStringLiteral("createProcessTap");
    case Call::destroyProcessTap:
        return QStringLiteral("destroyProcessTap");
    case Call::readTapFormat:
        return QStringLiteral("readTapFormat");
    case Call::createAggregateDevice:
        return QStringLiteral("createAggregateDevice");
    case Call::destroyAggregateDevice:
        return QStringLiteral("destroyAggregateDevice");
    case Call::createIOProc:
        return QStringLiteral("createIOProc");
    case Call::destroyIOProc:
        return QStringLiteral("destroyIOProc");
    case Call::deviceStart:
        return QStringLiteral("deviceStart");
    case Call::deviceStop:
        return QStringLiteral("deviceStop");
    case Call::drainAudioQueue:
        return QStringLiteral("drainAudioQueue");
    }
    return {};
}

void SimulatedAudioHardware::failCall(Call call, OSStatus status, int times)
{
    std::lock_guard lock(m_mutex);
    if (status == 0)
        m_failures.erase(call);
    else
        m_failures[call] = { status, times };
}

QStringList SimulatedAudioHardware::calls() const
{
    std::lock_guard lock(m_mutex);
    return m_calls;
}

QList<TapDescription> SimulatedAudioHardware::tapDescriptions() const
{
    std::lock_guard lock(m_mutex);
    return m_taps;
}

QList<AggregateDeviceDescription> SimulatedAudioHardware::deviceDescriptions() const
{
    std::lock_guard lock(m_mutex);
    return m_devices;
}

int SimulatedAudioHardware::heldObjects() const
{
    std::lock_guard lock(m_mutex);
    return m_heldObjects;
}

int SimulatedAudioHardware::heldIOProcs() const
{
    std::lock_guard lock(m_mutex);
    return m_heldIOProcs;
}

bool SimulatedAudioHardware::deliver(const AudioBufferList* list)
{
    std::lock_guard lock(m_mutex);
    if (!m_started || !m_input)
        return false;
    m_input(list);
    return true;
}

bool SimulatedAudioHardware::reportLoss(std::uint64_t bytes)
{
    std::lock_guard lock(m_mutex);
    if (!m_started || !m_loss)
        return false;
    m_loss(bytes);
    return true;
}

bool SimulatedAudioHardware::reportEvent(AudioDeviceEvent event)
{
    std::lock_guard lock(m_mutex);
    if (!m_started || !m_events)
        return false;
    m_events(event);
    return true;
}

OSStatus SimulatedAudioHardware::enter(Call call)
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

void SimulatedAudioHardware::dropIOProc()
{
    m_input = nullptr;
    m_loss = nullptr;
    m_events = nullptr;
    m_heldIOProcs = 0;
}

OSStatus SimulatedAudioHardware::createProcessTap(const TapDescription& description, AudioObjectID* tap)
{
    std::lock_guard lock(m_mutex);
    m_taps.append(description);
    if (OSStatus status = enter(Call::createProcessTap))
        return status;
    ++m_heldObjects;
    *tap = m_nextObject++;
    return 0;
}

OSStatus SimulatedAudioHardware::destroyProcessTap(AudioObjectID)
{
    std::lock_guard lock(m_mutex);
    if (OSStatus status = enter(Call::destroyProcessTap))
        return status;
    --m_heldObjects;
    return 0;
}

OSStatus SimulatedAudioHardware::readTapFormat(AudioObjectID, AudioStreamBasicDescription* format)
{
    std::lock_guard lock(m_mutex);
    if (OSStatus status = enter(Call::readTapFormat))
        return status;
    *format = m_format;
    return 0;
}

OSStatus SimulatedAudioHardware::createAggregateDevice(
    const AggregateDeviceDescription& description, AudioObjectID* device)
{
    std::lock_guard lock(m_mutex);
    m_devices.append(description);
    if (OSStatus status = enter(Call::createAggregateDevice))
        return status;
    ++m_heldObjects;
    *device = m_nextObject++;
    return 0;
}

OSStatus SimulatedAudioHardware::destroyAggregateDevice(AudioObjectID)
{
    std::lock_guard lock(m_mutex);
    if (OSStatus status = enter(Call::destroyAggregateDevice))
        return status;
    --m_heldObjects;
    // The device takes its IO procs with it.
    dropIOProc();
    m_started = false;
    return 0;
}

OSStatus SimulatedAudioHardware::createIOProc(
    AudioObjectID, AudioInputBlock input, AudioLossBlock loss, AudioEventBlock events, AudioDeviceIOProcID* io)
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

OSStatus SimulatedAudioHardware::destroyIOProc(AudioObjectID, AudioDeviceIOProcID)
{
    std::lock_guard lock(m_mutex);
    if (OSStatus status = enter(Call::destroyIOProc))
        return status;
    dropIOProc();
    return 0;
}

OSStatus SimulatedAudioHardware::deviceStart(AudioObjectID, AudioDeviceIOProcID)
{
    std::lock_guard lock(m_mutex);
    if (OSStatus status = enter(Call::deviceStart))
        return status;
    m_started = true;
    return 0;
}

OSStatus SimulatedAudioHardware::deviceStop(AudioObjectID, AudioDeviceIOProcID)
{
    std::lock_guard lock(m_mutex);
    if (OSStatus status = enter(Call::deviceStop))
        return status;
    m_started = false;
    return 0;
}

void SimulatedAudioHardware::drainAudioQueue()
{
    std::lock_guard lock(m_mutex);
    m_calls.append(callName(Call::drainAudioQueue));
}

} // namespace vessaro
