#include "capture/hal/PulseAudioHardware.h"

#include "base/ProductName.h"

#include <pulse/error.h>
#include <pulse/sample.h>

#include <map>
#include <utility>

namespace vessaro {

PulseAudioHardware::PulseAudioHardware(
    std::chrono::milliseconds operationTimeout, std::chrono::milliseconds reconnectWindow)
    : m_timeout(operationTimeout)
    , m_loop("vessaro-audio")
    , m_supervisor(m_loop, reconnectWindow)
{ }

PulseAudioHardware::~PulseAudioHardware()
{
    if (!m_loop.isRunning())
        return;
    m_supervisor.stop();
    Blocks blocks;
    {
        PulseMainLoop::Locker locker(m_loop);
        blocks = takeBlocks();
        // The stream goes before the connection it was made on.
        m_device.reset();
        m_tap.reset();
    }
    // The blocks' captures are destroyed here, without the lock.
}

OSStatus PulseAudioHardware::createProcessTap(const TapDescription& description, AudioObjectID* tap)
{
    if (!tap)
        return -PA_ERR_INVALID;
    if (!m_loop.isRunning())
        return -PA_ERR_INTERNAL;
    if (m_tap)
        return -PA_ERR_EXIST;

    PulseMainLoop::Locker locker(m_loop);
    auto created = std::make_unique<Tap>();
    created->uuid = description.uuid;
    created->target = description.target;
    std::function<void()> onPlaybackChange;
    if (!description.target.isEverything())
        onPlaybackChange = [this] { m_supervisor.playbackMayHaveChanged(); };
    // Desktop mixers list the connection under the tap's name.
    created->connection = std::make_unique<PulseConnection>(
        m_loop, m_timeout, description.name.toUtf8(), description.uuid, [this] { m_supervisor.outputMayHaveChanged(); },
        std::move(onPlaybackChange));
    PulseConnection::Output output;
    OSStatus status = created->connection->connect();
    if (status == 0)
        status = created->connection->findDefaultOutput(output);
    if (status != 0)
        return status;
    created->monitorSource = output.monitorSource;
    created->sampleRate = output.sampleRate;
    created->id = m_nextObjectID++;
    *tap = created->id;
    m_tap = std::move(created);
    return 0;
}

OSStatus PulseAudioHardware::destroyProcessTap(AudioObjectID tap)
{
    if (!m_tap || tap == 0 || m_tap->id != tap)
        return -PA_ERR_NOENTITY;
    if (m_device && m_device->tap == tap)
        return -PA_ERR_BUSY;
    PulseMainLoop::Locker locker(m_loop);
    m_tap.reset();
    return 0;
}

OSStatus PulseAudioHardware::readTapFormat(AudioObjectID tap, AudioStreamBasicDescription* format)
{
    if (!format)
        return -PA_ERR_INVALID;
    if (!m_tap || tap == 0 || m_tap->id != tap)
        return -PA_ERR_NOENTITY;
    // The server converts the output's samples to float: exact for up to 24
    // bits, so a 24-bit source comes back bit for bit when scaled by 2^23.
    *format = AudioStreamBasicDescription::stereoFloat(m_tap->sampleRate);
    return 0;
}

OSStatus PulseAudioHardware::readProcessList(std::vector<PlayingProgram>* programs)
{
    if (!programs)
        return -PA_ERR_INVALID;
    if (!m_loop.isRunning())
        return -PA_ERR_INTERNAL;
    std::vector<PulseConnection::Playback> playing;
    {
        PulseMainLoop::Locker locker(m_loop);
        PulseConnection connection(m_loop, m_timeout, kProductName.toString().toUtf8(), QString(), {});
        OSStatus status = connection.connect();
        if (status == 0)
            status = connection.listPlayback(playing);
        if (status != 0)
            return status;
    }
    // One entry per program, by name; its first stream tells the rest.
    std::map<QString, PlayingProgram> byName;
    for (PulseConnection::Playback& stream : playing)
        byName.try_emplace(stream.program.name, std::move(stream.program));
    programs->clear();
    for (auto& [name, program] : byName)
        programs->push_back(std::move(program));
    return 0;
}

OSStatus PulseAudioHardware::createAggregateDevice(const AggregateDeviceDescription& description, AudioObjectID* device)
{
    if (!device)
        return -PA_ERR_INVALID;
    if (!m_loop.isRunning())
        return -PA_ERR_INTERNAL;
    if (description.taps.size() != 1 || !m_tap || description.taps.front().uid != m_tap->uuid)
        return -PA_ERR_NOENTITY;
    if (m_device)
        return -PA_ERR_EXIST;

    PulseMainLoop::Locker locker(m_loop);
    auto created = std::make_unique<Device>();
    created->tap = m_tap->id;
    const PulseStream::Settings settings { description.name.toUtf8(), description.uid.toUtf8(),
        pa_sample_spec { PA_SAMPLE_FLOAT32LE, m_tap->sampleRate, 2 } };
    created->stream = std::make_unique<PulseStream>(*m_tap->connection, settings);
    // The program's streams are opened once the device starts.
    if (!m_tap->target.isEverything())
        created->programs = std::make_unique<PulseProgramStreams>(m_tap->target.program, settings);
    if (OSStatus status = created->stream->open(m_tap->monitorSource, true); status != 0)
        return status;
    created->id = m_nextObjectID++;
    *device = created->id;
    m_device = std::move(created);
    return 0;
}

OSStatus PulseAudioHardware::destroyAggregateDevice(AudioObjectID device)
{
    if (!m_device || device == 0 || m_device->id != device)
        return -PA_ERR_NOENTITY;
    m_supervisor.stop();
    Blocks blocks;
    PulseMainLoop::Locker locker(m_loop);
    if (!connectionGone() && m_device->stream->isReady()) {
        if (OSStatus status = m_device->stream->disconnect(); status != 0)
            return status;
    }
    blocks = takeBlocks();
    m_device.reset();
    return 0;
}

OSStatus PulseAudioHardware::createIOProc(
    AudioObjectID device, AudioInputBlock input, AudioLossBlock loss, AudioEventBlock events, AudioDeviceIOProcID* io)
{
    if (!io || !input)
        return -PA_ERR_INVALID;
    if (!m_device || device == 0 || m_device->id != device)
        return -PA_ERR_NOENTITY;
    if (m_device->io != 0)
        return -PA_ERR_EXIST;
    PulseMainLoop::Locker locker(m_loop);
    m_device->input = std::move(input);
    m_device->loss = std::move(loss);
    m_device->events = std::move(events);
    m_device->io = m_nextIOProcID++;
    const AudioInputBlock* reading = &m_device->input;
    if (m_device->programs)
        reading = m_device->programs->timeBase(reading, &m_device->loss);
    m_device->stream->readInto(reading, &m_device->loss);
    *io = m_device->io;
    return 0;
}

OSStatus PulseAudioHardware::destroyIOProc(AudioObjectID device, AudioDeviceIOProcID io)
{
    if (!holdsIOProc(device, io))
        return -PA_ERR_NOENTITY;
    m_supervisor.stop();
    // Declared before the lock so that the blocks' captures die without it.
    Blocks blocks;
    PulseMainLoop::Locker locker(m_loop);
    blocks = takeBlocks();
    return 0;
}

OSStatus PulseAudioHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID io)
{
    if (!holdsIOProc(device, io))
        return -PA_ERR_NOENTITY;
    PulseMainLoop::Locker locker(m_loop);
    PulseStream& stream = *m_device->stream;
    if (!stream.isReady())
        return connectionGone() ? -PA_ERR_CONNECTIONTERMINATED : -PA_ERR_BADSTATE;

    // Anything the server kept while corked predates the recording.
    if (OSStatus status = stream.flush())
        return status;
    if (OSStatus status = stream.setCorked(false))
        return status;
    m_supervisor.start(m_tap->connection, m_device->stream, m_tap->monitorSource, m_device->loss, m_device->events,
        m_device->programs.get());
    return 0;
}

OSStatus PulseAudioHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID io)
{
    if (!holdsIOProc(device, io))
        return -PA_ERR_NOENTITY;
    m_supervisor.stop();
    PulseMainLoop::Locker locker(m_loop);
    // The next start follows the program's streams afresh: nothing piles up meanwhile.
    if (m_device->programs)
        m_device->programs->closeAll();
    // A stream the server no longer has is stopped already.
    if (connectionGone())
        return 0;
    const OSStatus status = m_device->stream->setCorked(true);
    return status != 0 && connectionGone() ? 0 : status;
}

void PulseAudioHardware::drainAudioQueue()
{
    // The blocks run on the loop's thread with its lock held, and only while
    // registered: holding the lock once means none runs now, and none will
    // after destroyIOProc. Called on the loop's thread this would deadlock.
    if (!m_loop.isRunning() || m_loop.isLoopThread())
        return;
    m_loop.lock();
    m_loop.unlock();
}

QString PulseAudioHardware::backendName() const
{
    return QStringLiteral("PulseAudio");
}

bool PulseAudioHardware::holdsIOProc(AudioObjectID device, AudioDeviceIOProcID io) const
{
    return m_device && device != 0 && m_device->id == device && io != 0 && m_device->io == io;
}

bool PulseAudioHardware::connectionGone() const
{
    if (!m_tap || !m_tap->connection->isGood())
        return true;
    return m_device && !m_device->stream->isGood();
}

PulseAudioHardware::Blocks PulseAudioHardware::takeBlocks()
{
    if (!m_device)
        return {};
    m_device->stream->readInto(nullptr, nullptr);
    if (m_device->programs)
        m_device->programs->closeAll();
    m_device->io = 0;
    return { std::exchange(m_device->input, nullptr), std::exchange(m_device->loss, nullptr),
        std::exchange(m_device->events, nullptr) };
}

} // namespace vessaro
