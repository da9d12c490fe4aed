#include "capture/hal/PulseSupervisor.h"

#include <utility>

namespace vessaro {
namespace {

// How often the supervisor looks at the intake when nothing wakes it.
constexpr std::chrono::milliseconds supervisorTick { 250 };
// Pause between two attempts to reach a server that went away, or to find
// an output that is not there yet.
constexpr std::chrono::milliseconds retryInterval { 200 };

} // namespace

PulseSupervisor::PulseSupervisor(PulseMainLoop& loop, std::chrono::milliseconds reconnectWindow)
    : m_loop(loop)
    , m_reconnectWindow(reconnectWindow)
{ }

void PulseSupervisor::start(std::unique_ptr<PulseConnection>& connection, std::unique_ptr<PulseStream>& stream,
    QByteArray& monitorSource, const AudioLossBlock& loss, const AudioEventBlock& events, PulseProgramStreams* programs)
{
    m_programs = programs;
    m_connection = &connection;
    m_stream = &stream;
    m_monitorSource = &monitorSource;
    m_loss = &loss;
    m_events = &events;
    const pa_sample_spec& format = stream->format();
    m_intake.emplace(format.rate, static_cast<std::uint32_t>(pa_frame_size(&format)));
    stream->countFromZero();
    // The default output may have changed since the stream was opened: during
    // the countdown, or before the subscription began. Look once at start;
    // following costs nothing when it has not.
    m_state = State::outputChanged;
    // The thread begins once the caller lets go of the lock.
    m_thread = std::thread([this] { run(); });
}

void PulseSupervisor::stop()
{
    if (!m_thread.joinable())
        return;
    {
        PulseMainLoop::Locker locker(m_loop);
        m_state = State::idle;
        m_loop.signal();
    }
    m_thread.join();
}

void PulseSupervisor::outputMayHaveChanged()
{
    if (m_state != State::recording && m_state != State::playbackChanged)
        return;
    m_state = State::outputChanged;
    m_loop.signal();
}

void PulseSupervisor::playbackMayHaveChanged()
{
    if (m_state != State::recording)
        return;
    m_state = State::playbackChanged;
    m_loop.signal();
}

void PulseSupervisor::run()
{
    PulseMainLoop::Locker locker(m_loop);
    while (running()) {
        m_loop.waitUntil(
            [this] { return m_state != State::recording || !(*m_connection)->isGood() || !(*m_stream)->isGood(); },
            supervisorTick);
        if (!running())
            break;
        if (!(*m_connection)->isGood()) {
            reconnect();
        } else if (m_state == State::outputChanged || !(*m_stream)->isGood()) {
            m_state = State::recording;
            follow();
            followPrograms();
        } else if (m_state == State::playbackChanged) {
            m_state = State::recording;
            followPrograms();
        }
        if (running())
            checkIntake();
    }
}

void PulseSupervisor::follow()
{
    PulseConnection::Output output;
    const bool streamAlive = (*m_stream)->isGood();
    OSStatus status = (*m_connection)->findDefaultOutput(output);
    if (!running())
        return;
    if (status == 0 && streamAlive && output.monitorSource == *m_monitorSource)
        return;
    std::unique_ptr<PulseStream> replacement = (*m_stream)->sibling(**m_connection);
    if (status == 0)
        status = replacement->open(output.monitorSource, false);
    if (status != 0 || !running()) {
        replacement.reset();
        // A dead stream wakes the supervisor at once: do not hammer the server.
        if (!(*m_stream)->isGood())
            pauseBeforeRetry();
        return;
    }
    takeOver(std::move(replacement), nullptr);
}

void PulseSupervisor::followPrograms()
{
    // A failed look is retried on the next change of playback.
    if (m_programs && running())
        (void)m_programs->follow(**m_connection);
}

void PulseSupervisor::reconnect()
{
    const auto lostAt = std::chrono::steady_clock::now();
    while (running()) {
        std::unique_ptr<PulseConnection> fresh = (*m_connection)->sibling();
        PulseConnection::Output output;
        std::unique_ptr<PulseStream> replacement = (*m_stream)->sibling(*fresh);
        OSStatus status = fresh->connect();
        if (status == 0)
            status = fresh->findDefaultOutput(output);
        if (status == 0)
            status = replacement->open(output.monitorSource, false);
        if (status == 0 && running()) {
            takeOver(std::move(replacement), std::move(fresh));
            return;
        }
        replacement.reset();
        fresh.reset();
        if (std::chrono::steady_clock::now() - lostAt >= m_reconnectWindow) {
            m_state = State::serverLost;
            if (*m_events)
                (*m_events)(AudioDeviceEvent::serverLost);
            return;
        }
        pauseBeforeRetry();
    }
}

void PulseSupervisor::takeOver(std::unique_ptr<PulseStream> replacement, std::unique_ptr<PulseConnection> connection)
{
    // The old stream delivered until now: the gap is only what the server
    // had not yet sent of it. It goes before the connection it was made on.
    replacement->readLike(**m_stream);
    *m_monitorSource = replacement->source();
    *m_stream = std::move(replacement);
    const bool reconnected = connection != nullptr;
    if (reconnected) {
        // The old connection is dead: nothing to disconnect. Its program
        // streams go before it; the next pass opens them on the new one.
        if (m_programs)
            m_programs->closeAll();
        *m_connection = std::move(connection);
        // A default set between our look and the subscription (a server
        // still setting itself up) would go unseen: look once more.
        m_state = State::outputChanged;
    }
    m_intake->restart();
    if (*m_events)
        (*m_events)(reconnected ? AudioDeviceEvent::reconnected : AudioDeviceEvent::followedOutput);
}

void PulseSupervisor::checkIntake()
{
    PulseStream& stream = **m_stream;
    if (!*m_loss || !stream.isReady() || stream.isCorked())
        return;
    if (std::optional<std::uint64_t> lost = m_intake->look(stream.bytesReceived(), std::chrono::steady_clock::now()))
        (*m_loss)(*lost);
}

void PulseSupervisor::pauseBeforeRetry()
{
    m_loop.waitUntil([this] { return m_state == State::idle; }, retryInterval);
}

} // namespace vessaro
