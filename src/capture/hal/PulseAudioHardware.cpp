#include "capture/hal/PulseAudioHardware.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/sample.h>
#include <pulse/subscribe.h>
#include <pulse/timeval.h>

#include <utility>

namespace vessaro {
namespace {

constexpr std::uint32_t channelCount = 2;
constexpr std::uint32_t bytesPerSample = 4;
// The server's default fragment is two seconds; a recorder wants a steady
// trickle of small buffers instead.
constexpr pa_usec_t fragmentMicroseconds = 20 * PA_USEC_PER_MSEC;
// What the server may hold for us while the audio queue is held up. Beyond
// it the server drops audio, which the supervisor then reports.
constexpr pa_usec_t serverBufferMicroseconds = 2000 * PA_USEC_PER_MSEC;
// How often the supervisor looks at the intake when nothing wakes it.
constexpr std::chrono::milliseconds supervisorTick { 250 };
// Pause between two attempts to reach a server that went away, or to find
// an output that is not there yet.
constexpr std::chrono::milliseconds retryInterval { 200 };
// Frames received may trail the time that passed by this much before audio
// counts as lost: the server's buffering and scheduling, and clock drift.
constexpr double lossToleranceSeconds = 0.25;
constexpr double lossToleranceOfElapsed = 0.002;

OSStatus failure(int code)
{
    return -(code > 0 ? code : PA_ERR_UNKNOWN);
}

OSStatus contextError(pa_context* context)
{
    return failure(pa_context_errno(context));
}

// What an operation's callback reports back to the waiting thread.
struct Answer {
    explicit Answer(PulseMainLoop* waiting)
        : loop(waiting)
    { }
    PulseMainLoop* loop;
    bool success = false;
    QByteArray text;
    std::uint32_t number = 0;
};

void onSuccess(pa_stream*, int success, void* userdata)
{
    auto* answer = static_cast<Answer*>(userdata);
    answer->success = success != 0;
    answer->loop->signal();
}

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata)
{
    auto* answer = static_cast<Answer*>(userdata);
    if (info && info->default_sink_name) {
        answer->text = info->default_sink_name;
        answer->success = true;
    }
    answer->loop->signal();
}

void onSinkInfo(pa_context*, const pa_sink_info* info, int endOfList, void* userdata)
{
    auto* answer = static_cast<Answer*>(userdata);
    if (endOfList == 0 && info && info->monitor_source_name) {
        answer->text = info->monitor_source_name;
        answer->number = info->sample_spec.rate;
        answer->success = true;
    }
    answer->loop->signal();
}

} // namespace

PulseAudioHardware::PulseAudioHardware(
    std::chrono::milliseconds operationTimeout, std::chrono::milliseconds reconnectWindow)
    : m_timeout(operationTimeout)
    , m_reconnectWindow(reconnectWindow)
    , m_loop("vessaro-audio")
{ }

PulseAudioHardware::~PulseAudioHardware()
{
    if (!m_loop.isRunning())
        return;
    stopSupervisor();
    AudioInputBlock input;
    AudioLossBlock loss;
    AudioEventBlock events;
    {
        PulseMainLoop::Locker locker(m_loop);
        if (m_device) {
            input = std::move(m_device->input);
            loss = std::move(m_device->loss);
            events = std::move(m_device->events);
            releaseDevice();
        }
        releaseTap();
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
    m_tap = std::make_unique<Tap>();
    m_tap->uuid = description.uuid;
    // Desktop mixers list the connection under the tap's name.
    m_tap->name = description.name.toUtf8();
    Output output;
    OSStatus status = connect(*m_tap);
    if (status == 0)
        status = findDefaultOutput(m_tap->context.get(), output);
    if (status != 0) {
        releaseTap();
        return status;
    }
    m_tap->sinkName = output.sinkName;
    m_tap->monitorSource = output.monitorSource;
    m_tap->sampleRate = output.sampleRate;
    subscribe(m_tap->context.get());
    m_tap->id = m_nextObjectID++;
    *tap = m_tap->id;
    return 0;
}

OSStatus PulseAudioHardware::connect(Tap& tap)
{
    PulseProplistHandle properties(pa_proplist_new());
    if (!properties)
        return -PA_ERR_INTERNAL;
    pa_proplist_sets(properties.get(), tapUuidProperty, tap.uuid.toUtf8().constData());

    tap.context.reset(pa_context_new_with_proplist(m_loop.api(), tap.name.constData(), properties.get()));
    pa_context* context = tap.context.get();
    if (!context)
        return -PA_ERR_INTERNAL;
    pa_context_set_state_callback(context, &PulseAudioHardware::onContextState, this);
    // Never start a server of our own: without one, capture fails.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return contextError(context);
    const bool settled = m_loop.waitUntil(
        [context] {
            const pa_context_state_t state = pa_context_get_state(context);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        m_timeout);
    if (!settled)
        return -PA_ERR_TIMEOUT;
    return contextStatus(context);
}

OSStatus PulseAudioHardware::findDefaultOutput(pa_context* context, Output& output)
{
    // Resolved here rather than with "@DEFAULT_MONITOR@": PipeWire 0.3.65
    // resolves that name to the default source, often a microphone.
    Answer server(&m_loop);
    if (OSStatus status
        = waitForOperation(context, pa_context_get_server_info(context, onServerInfo, &server), nullptr))
        return status;
    if (!server.success || server.text.isEmpty())
        return -PA_ERR_NOENTITY;

    Answer sink(&m_loop);
    if (OSStatus status = waitForOperation(
            context, pa_context_get_sink_info_by_name(context, server.text.constData(), onSinkInfo, &sink), nullptr))
        return status;
    if (!sink.success || sink.text.isEmpty() || sink.number == 0)
        return -PA_ERR_NOENTITY;
    output.sinkName = server.text;
    output.monitorSource = sink.text;
    output.sampleRate = sink.number;
    return 0;
}

void PulseAudioHardware::subscribe(pa_context* context)
{
    // Only the server's own changes matter: a new default output. A removed
    // output ends our stream, which the supervisor sees by itself.
    pa_context_set_subscribe_callback(context, &PulseAudioHardware::onSubscription, this);
    if (pa_operation* started = pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr))
        PulseOperationHandle(started).reset();
}

OSStatus PulseAudioHardware::destroyProcessTap(AudioObjectID tap)
{
    if (!m_tap || tap == 0 || m_tap->id != tap)
        return -PA_ERR_NOENTITY;
    if (m_device && m_device->tap == tap)
        return -PA_ERR_BUSY;
    PulseMainLoop::Locker locker(m_loop);
    releaseTap();
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
    AudioStreamBasicDescription result;
    result.mSampleRate = m_tap->sampleRate;
    result.mFormatID = kAudioFormatLinearPCM;
    result.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    result.mBytesPerPacket = channelCount * bytesPerSample;
    result.mFramesPerPacket = 1;
    result.mBytesPerFrame = channelCount * bytesPerSample;
    result.mChannelsPerFrame = channelCount;
    result.mBitsPerChannel = bytesPerSample * 8;
    *format = result;
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
    created->name = description.name.toUtf8();
    created->uid = description.uid.toUtf8();
    created->spec = pa_sample_spec { PA_SAMPLE_FLOAT32LE, m_tap->sampleRate, channelCount };
    created->stallMicroseconds = &m_stallMicroseconds;
    if (OSStatus status = openStream(created->stream, m_tap->context.get(), *created, m_tap->monitorSource, true);
        status != 0) {
        m_device = std::move(created);
        releaseDevice();
        return status;
    }
    created->id = m_nextObjectID++;
    *device = created->id;
    m_device = std::move(created);
    return 0;
}

OSStatus PulseAudioHardware::openStream(
    PulseStreamHandle& handle, pa_context* context, const Device& device, const QByteArray& source, bool corked)
{
    if (OSStatus status = contextStatus(context); status != 0)
        return status;
    pa_channel_map channels;
    pa_channel_map_init_stereo(&channels);

    PulseProplistHandle properties(pa_proplist_new());
    if (!properties)
        return -PA_ERR_INTERNAL;
    pa_proplist_sets(properties.get(), PA_PROP_MEDIA_NAME, device.name.constData());
    pa_proplist_sets(properties.get(), deviceUidProperty, device.uid.constData());
    handle.reset(
        pa_stream_new_with_proplist(context, device.name.constData(), &device.spec, &channels, properties.get()));
    pa_stream* stream = handle.get();
    if (!stream)
        return contextError(context);
    pa_stream_set_state_callback(stream, &PulseAudioHardware::onStreamState, this);

    pa_buffer_attr buffering;
    buffering.maxlength = static_cast<std::uint32_t>(pa_usec_to_bytes(serverBufferMicroseconds, &device.spec));
    buffering.tlength = static_cast<std::uint32_t>(-1);
    buffering.prebuf = static_cast<std::uint32_t>(-1);
    buffering.minreq = static_cast<std::uint32_t>(-1);
    buffering.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(fragmentMicroseconds, &device.spec));
    // Corked until deviceStart, so that nothing is buffered before recording
    // begins. Never moved by the server: the user's routing must not turn it
    // into a microphone; the supervisor follows the output instead.
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (corked)
        flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_START_CORKED);
    if (pa_stream_connect_record(stream, source.constData(), &buffering, flags) < 0)
        return contextError(context);
    const bool settled = m_loop.waitUntil(
        [stream] {
            const pa_stream_state_t state = pa_stream_get_state(stream);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        },
        m_timeout);
    if (!settled)
        return -PA_ERR_TIMEOUT;
    if (pa_stream_get_state(stream) != PA_STREAM_READY)
        return contextError(context);
    return 0;
}

OSStatus PulseAudioHardware::destroyAggregateDevice(AudioObjectID device)
{
    if (!m_device || device == 0 || m_device->id != device)
        return -PA_ERR_NOENTITY;
    stopSupervisor();
    AudioInputBlock input;
    AudioLossBlock loss;
    AudioEventBlock events;
    PulseMainLoop::Locker locker(m_loop);
    pa_stream* stream = m_device->stream.get();
    if (!connectionGone(stream) && pa_stream_get_state(stream) == PA_STREAM_READY) {
        if (pa_stream_disconnect(stream) < 0 && !connectionGone(stream))
            return contextError(m_tap->context.get());
        // Once the server has confirmed, no mixer lists the stream any more.
        const bool settled
            = m_loop.waitUntil([stream] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)); }, m_timeout);
        if (!settled)
            return -PA_ERR_TIMEOUT;
    }
    input = std::move(m_device->input);
    loss = std::move(m_device->loss);
    events = std::move(m_device->events);
    releaseDevice();
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
    pa_stream_set_read_callback(m_device->stream.get(), &PulseAudioHardware::onRead, m_device.get());
    *io = m_device->io;
    return 0;
}

OSStatus PulseAudioHardware::destroyIOProc(AudioObjectID device, AudioDeviceIOProcID io)
{
    if (!holdsIOProc(device, io))
        return -PA_ERR_NOENTITY;
    stopSupervisor();
    // Declared before the lock so that the blocks' captures die without it.
    AudioInputBlock input;
    AudioLossBlock loss;
    AudioEventBlock events;
    PulseMainLoop::Locker locker(m_loop);
    pa_stream_set_read_callback(m_device->stream.get(), nullptr, nullptr);
    input = std::move(m_device->input);
    loss = std::move(m_device->loss);
    events = std::move(m_device->events);
    m_device->input = nullptr;
    m_device->loss = nullptr;
    m_device->events = nullptr;
    m_device->io = 0;
    return 0;
}

OSStatus PulseAudioHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID io)
{
    if (!holdsIOProc(device, io))
        return -PA_ERR_NOENTITY;
    PulseMainLoop::Locker locker(m_loop);
    pa_stream* stream = m_device->stream.get();
    if (pa_stream_get_state(stream) != PA_STREAM_READY)
        return connectionGone(stream) ? -PA_ERR_CONNECTIONTERMINATED : -PA_ERR_BADSTATE;

    // Anything the server kept while corked predates the recording.
    if (OSStatus status
        = acknowledged(stream, [](pa_stream* s, void* answer) { return pa_stream_flush(s, onSuccess, answer); }))
        return status;
    if (OSStatus status
        = acknowledged(stream, [](pa_stream* s, void* answer) { return pa_stream_cork(s, 0, onSuccess, answer); }))
        return status;
    m_device->bytesReceived = 0;
    m_device->intakeFlowing = false;
    m_device->intakeBehind = false;
    m_device->intakeSince.reset();
    // The default output may have changed since the stream was opened: during
    // the countdown, or before the subscription began. The supervisor looks
    // once at start; following costs nothing when it has not.
    m_device->outputChanged = true;
    m_device->serverLost = false;
    m_device->lossReported = false;
    startSupervisor();
    return 0;
}

OSStatus PulseAudioHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID io)
{
    if (!holdsIOProc(device, io))
        return -PA_ERR_NOENTITY;
    stopSupervisor();
    PulseMainLoop::Locker locker(m_loop);
    pa_stream* stream = m_device->stream.get();
    // A stream the server no longer has is stopped already.
    if (connectionGone(stream))
        return 0;
    const OSStatus status
        = acknowledged(stream, [](pa_stream* s, void* answer) { return pa_stream_cork(s, 1, onSuccess, answer); });
    return status != 0 && connectionGone(stream) ? 0 : status;
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

void PulseAudioHardware::stallAudioThreadOnce(std::chrono::milliseconds duration)
{
    m_stallMicroseconds.store(
        std::chrono::duration_cast<std::chrono::microseconds>(duration).count(), std::memory_order_relaxed);
}

bool PulseAudioHardware::holdsIOProc(AudioObjectID device, AudioDeviceIOProcID io) const
{
    return m_device && device != 0 && m_device->id == device && io != 0 && m_device->io == io;
}

OSStatus PulseAudioHardware::acknowledged(pa_stream* stream, pa_operation* (*start)(pa_stream*, void*))
{
    Answer answer(&m_loop);
    pa_context* context = m_tap->context.get();
    if (OSStatus status = waitForOperation(context, start(stream, &answer), stream))
        return status;
    return answer.success ? 0 : contextError(context);
}

OSStatus PulseAudioHardware::waitForOperation(pa_context* context, pa_operation* started, pa_stream* stream)
{
    if (!started)
        return contextError(context);
    PulseOperationHandle operation(started);
    const bool settled = m_loop.waitUntil(
        [&] {
            return pa_operation_get_state(operation.get()) != PA_OPERATION_RUNNING
                || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context))
                || (stream && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)));
        },
        m_timeout);
    if (!settled) {
        // Its callback must not run after the answer it writes to is gone.
        pa_operation_cancel(operation.get());
        return -PA_ERR_TIMEOUT;
    }
    if (pa_operation_get_state(operation.get()) == PA_OPERATION_DONE)
        return 0;
    pa_operation_cancel(operation.get());
    if (stream && pa_stream_get_state(stream) == PA_STREAM_FAILED)
        return contextError(context);
    if (OSStatus status = contextStatus(context); status != 0)
        return status;
    return -PA_ERR_KILLED;
}

OSStatus PulseAudioHardware::contextStatus(pa_context* context) const
{
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        return 0;
    case PA_CONTEXT_TERMINATED:
        return -PA_ERR_CONNECTIONTERMINATED;
    default:
        return contextError(context);
    }
}

bool PulseAudioHardware::connectionGone(pa_stream* stream) const
{
    if (!m_tap || !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_tap->context.get())))
        return true;
    return stream && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream));
}

void PulseAudioHardware::attachStream(pa_stream* stream)
{
    if (m_device->io != 0)
        pa_stream_set_read_callback(stream, &PulseAudioHardware::onRead, m_device.get());
}

void PulseAudioHardware::releaseStream(PulseStreamHandle& handle)
{
    if (pa_stream* stream = handle.get()) {
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        if (pa_stream_get_state(stream) == PA_STREAM_READY)
            pa_stream_disconnect(stream);
    }
    handle.reset();
}

void PulseAudioHardware::releaseContext(PulseContextHandle& handle)
{
    if (pa_context* context = handle.get()) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
    }
    handle.reset();
}

void PulseAudioHardware::releaseDevice()
{
    if (!m_device)
        return;
    if (pa_stream* stream = m_device->stream.get()) {
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        if (pa_stream_get_state(stream) == PA_STREAM_READY)
            pa_stream_disconnect(stream);
    }
    m_device.reset();
}

void PulseAudioHardware::releaseTap()
{
    if (!m_tap)
        return;
    releaseContext(m_tap->context);
    m_tap.reset();
}

void PulseAudioHardware::onContextState(pa_context*, void* userdata)
{
    static_cast<PulseAudioHardware*>(userdata)->m_loop.signal();
}

void PulseAudioHardware::onStreamState(pa_stream*, void* userdata)
{
    static_cast<PulseAudioHardware*>(userdata)->m_loop.signal();
}

void PulseAudioHardware::onSubscription(pa_context*, pa_subscription_event_type_t type, std::uint32_t, void* userdata)
{
    auto* self = static_cast<PulseAudioHardware*>(userdata);
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER || !self->m_device)
        return;
    self->m_device->outputChanged = true;
    self->m_loop.signal();
}

void PulseAudioHardware::onRead(pa_stream* stream, size_t, void* userdata)
{
    // The audio queue: nothing here may lock, allocate or make a system call.
    auto* device = static_cast<Device*>(userdata);
    if (device->stallMicroseconds->load(std::memory_order_relaxed) != 0) {
        // Test hook only.
        const std::int64_t stall = device->stallMicroseconds->exchange(0, std::memory_order_relaxed);
        std::this_thread::sleep_for(std::chrono::microseconds(stall));
    }
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
        if (data) {
            AudioBufferList list;
            list.mNumberBuffers = 1;
            list.mBuffers[0].mNumberChannels = channelCount;
            list.mBuffers[0].mDataByteSize = static_cast<std::uint32_t>(bytes);
            list.mBuffers[0].mData = const_cast<void*>(data);
            device->bytesReceived += bytes;
            device->input(&list);
        } else if (device->loss) {
            // A hole: the server skipped audio of ours and says so. This is the
            // only loss libpulse reports for a record stream; its overflow
            // notice is sent to playback streams only.
            device->loss(bytes);
        }
        pa_stream_drop(stream);
    }
}

// --- Supervision ---

void PulseAudioHardware::startSupervisor()
{
    // Lock held: the thread begins once the caller lets go of it.
    m_stopSupervising = false;
    m_supervisor = std::thread([this] { supervise(); });
}

void PulseAudioHardware::stopSupervisor()
{
    if (!m_supervisor.joinable())
        return;
    {
        PulseMainLoop::Locker locker(m_loop);
        m_stopSupervising = true;
        m_loop.signal();
    }
    // Bounded: every wait of the supervisor ends within the operation timeout.
    m_supervisor.join();
}

bool PulseAudioHardware::stillSupervising(const Device* device) const
{
    return !m_stopSupervising && m_device.get() == device && m_tap;
}

void PulseAudioHardware::supervise()
{
    PulseMainLoop::Locker locker(m_loop);
    Device* device = m_device.get();
    while (device && stillSupervising(device) && !device->serverLost) {
        m_loop.waitUntil(
            [this, device] {
                return m_stopSupervising || device->outputChanged || connectionGone(device->stream.get());
            },
            supervisorTick);
        if (!stillSupervising(device))
            break;
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(m_tap->context.get()))) {
            reconnect(*device);
        } else if (device->outputChanged || !PA_STREAM_IS_GOOD(pa_stream_get_state(device->stream.get()))) {
            device->outputChanged = false;
            follow(*device);
        }
        if (stillSupervising(device))
            checkIntake(*device);
    }
}

void PulseAudioHardware::follow(Device& device)
{
    Output output;
    const bool streamAlive = PA_STREAM_IS_GOOD(pa_stream_get_state(device.stream.get()));
    OSStatus status = findDefaultOutput(m_tap->context.get(), output);
    if (!stillSupervising(&device))
        return;
    if (status == 0 && streamAlive && output.monitorSource == m_tap->monitorSource)
        return;
    PulseStreamHandle replacement;
    if (status == 0)
        status = openStream(replacement, m_tap->context.get(), device, output.monitorSource, false);
    if (status != 0 || !stillSupervising(&device)) {
        releaseStream(replacement);
        // A dead stream wakes the supervisor at once: do not hammer the server.
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(device.stream.get())))
            m_loop.waitUntil([this] { return m_stopSupervising; }, retryInterval);
        return;
    }
    // The old stream delivered until now: the gap is only what the server
    // had not yet sent of it.
    releaseStream(device.stream);
    device.stream = std::move(replacement);
    attachStream(device.stream.get());
    m_tap->sinkName = output.sinkName;
    m_tap->monitorSource = output.monitorSource;
    device.bytesReceived = 0;
    device.intakeFlowing = false;
    device.intakeBehind = false;
    device.intakeSince.reset();
    if (device.events)
        device.events(AudioDeviceEvent::followedOutput);
}

void PulseAudioHardware::reconnect(Device& device)
{
    const auto lostAt = std::chrono::steady_clock::now();
    while (stillSupervising(&device)) {
        Tap fresh;
        fresh.uuid = m_tap->uuid;
        fresh.name = m_tap->name;
        Output output;
        PulseStreamHandle replacement;
        OSStatus status = connect(fresh);
        if (status == 0)
            status = findDefaultOutput(fresh.context.get(), output);
        if (status == 0)
            status = openStream(replacement, fresh.context.get(), device, output.monitorSource, false);
        if (status == 0 && stillSupervising(&device)) {
            subscribe(fresh.context.get());
            // The old stream and connection are dead: nothing to disconnect.
            releaseStream(device.stream);
            releaseContext(m_tap->context);
            m_tap->context = std::move(fresh.context);
            m_tap->sinkName = output.sinkName;
            m_tap->monitorSource = output.monitorSource;
            device.stream = std::move(replacement);
            attachStream(device.stream.get());
            device.bytesReceived = 0;
            device.intakeFlowing = false;
            device.intakeBehind = false;
            device.intakeSince.reset();
            // A default set between our look and the subscription (a server
            // still setting itself up) would go unseen: look once more.
            device.outputChanged = true;
            if (device.events)
                device.events(AudioDeviceEvent::reconnected);
            return;
        }
        releaseStream(replacement);
        releaseContext(fresh.context);
        if (std::chrono::steady_clock::now() - lostAt >= m_reconnectWindow) {
            device.serverLost = true;
            if (device.events)
                device.events(AudioDeviceEvent::serverLost);
            return;
        }
        m_loop.waitUntil([this] { return m_stopSupervising; }, retryInterval);
    }
}

void PulseAudioHardware::checkIntake(Device& device)
{
    // The frames the stream delivered must keep up with the time that passed;
    // what is missing beyond the tolerance, on two looks in a row (so that a
    // backlog still being read after a hold-up does not count), the server
    // dropped without a word. The stream's own latency figures are not used:
    // both servers report them too unevenly for this.
    pa_stream* stream = device.stream.get();
    if (device.lossReported || !device.loss || device.io == 0 || pa_stream_get_state(stream) != PA_STREAM_READY
        || pa_stream_is_corked(stream) != 0)
        return;
    const double rate = device.spec.rate;
    const double bytesPerFrame = static_cast<double>(pa_frame_size(&device.spec));
    const double receivedFrames = static_cast<double>(device.bytesReceived) / bytesPerFrame;
    const auto now = std::chrono::steady_clock::now();
    if (!device.intakeSince) {
        // Measured from the second look at a delivering stream: the first
        // delivery may carry what the server gathered while starting.
        if (device.bytesReceived == 0)
            return;
        if (!device.intakeFlowing) {
            device.intakeFlowing = true;
            return;
        }
        device.intakeSince = now;
        device.intakeBaseFrames = receivedFrames;
        return;
    }
    const double elapsedSeconds = std::chrono::duration<double>(now - *device.intakeSince).count();
    const double missingFrames = device.intakeBaseFrames + elapsedSeconds * rate - receivedFrames;
    const double toleranceFrames = rate * (lossToleranceSeconds + lossToleranceOfElapsed * elapsedSeconds);
    const bool behind = missingFrames > toleranceFrames;
    const bool confirmed = behind && device.intakeBehind;
    device.intakeBehind = behind;
    if (!confirmed)
        return;
    device.lossReported = true;
    device.loss(static_cast<std::uint64_t>(missingFrames * bytesPerFrame));
}

} // namespace vessaro
