#include "capture/hal/PulseAudioHardware.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/sample.h>
#include <pulse/timeval.h>

#include <utility>

namespace vessaro {
namespace {

constexpr std::uint32_t channelCount = 2;
constexpr std::uint32_t bytesPerSample = 4;
// The server's default fragment is two seconds; a recorder wants a steady
// trickle of small buffers instead.
constexpr pa_usec_t fragmentMicroseconds = 20 * PA_USEC_PER_MSEC;

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
    explicit Answer(PulseMainLoop* waiting) : loop(waiting) {}
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

PulseAudioHardware::PulseAudioHardware(std::chrono::milliseconds operationTimeout)
    : m_timeout(operationTimeout), m_loop("vessaro-audio")
{
}

PulseAudioHardware::~PulseAudioHardware()
{
    if (!m_loop.isRunning())
        return;
    AudioInputBlock input;
    AudioLossBlock loss;
    {
        PulseMainLoop::Locker locker(m_loop);
        if (m_device) {
            input = std::move(m_device->input);
            loss = std::move(m_device->loss);
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
    OSStatus status = connect(*m_tap, description);
    if (status == 0)
        status = findDefaultOutput(*m_tap);
    if (status != 0) {
        releaseTap();
        return status;
    }
    m_tap->id = m_nextObjectID++;
    *tap = m_tap->id;
    return 0;
}

OSStatus PulseAudioHardware::connect(Tap& tap, const TapDescription& description)
{
    // Desktop mixers list the connection under the tap's name.
    const QByteArray name = description.name.toUtf8();
    PulseProplistHandle properties(pa_proplist_new());
    if (!properties)
        return -PA_ERR_INTERNAL;
    pa_proplist_sets(properties.get(), tapUuidProperty, description.uuid.toUtf8().constData());

    tap.context.reset(pa_context_new_with_proplist(m_loop.api(), name.constData(), properties.get()));
    pa_context* context = tap.context.get();
    if (!context)
        return -PA_ERR_INTERNAL;
    pa_context_set_state_callback(context, &PulseAudioHardware::onContextState, this);
    // Never start a server of our own: without one, capture fails.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return contextError(context);
    const bool settled = m_loop.waitUntil([context] {
        const pa_context_state_t state = pa_context_get_state(context);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    }, m_timeout);
    if (!settled)
        return -PA_ERR_TIMEOUT;
    return contextStatus();
}

OSStatus PulseAudioHardware::findDefaultOutput(Tap& tap)
{
    // Resolved here rather than with "@DEFAULT_MONITOR@": PipeWire 0.3.65
    // resolves that name to the default source, often a microphone.
    pa_context* context = tap.context.get();
    Answer server(&m_loop);
    if (OSStatus status = waitForOperation(pa_context_get_server_info(context, onServerInfo, &server), nullptr))
        return status;
    if (!server.success || server.text.isEmpty())
        return -PA_ERR_NOENTITY;

    Answer sink(&m_loop);
    if (OSStatus status = waitForOperation(
            pa_context_get_sink_info_by_name(context, server.text.constData(), onSinkInfo, &sink), nullptr))
        return status;
    if (!sink.success || sink.text.isEmpty() || sink.number == 0)
        return -PA_ERR_NOENTITY;
    tap.monitorSource = sink.text;
    tap.sampleRate = sink.number;
    return 0;
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

OSStatus PulseAudioHardware::createAggregateDevice(const AggregateDeviceDescription& description,
                                                   AudioObjectID* device)
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
    if (OSStatus status = openStream(*created, *m_tap, description); status != 0) {
        m_device = std::move(created);
        releaseDevice();
        return status;
    }
    created->id = m_nextObjectID++;
    *device = created->id;
    m_device = std::move(created);
    return 0;
}

OSStatus PulseAudioHardware::openStream(Device& device, const Tap& tap,
                                        const AggregateDeviceDescription& description)
{
    if (OSStatus status = contextStatus(); status != 0)
        return status;
    const pa_sample_spec spec {PA_SAMPLE_FLOAT32LE, tap.sampleRate, channelCount};
    pa_channel_map channels;
    pa_channel_map_init_stereo(&channels);

    const QByteArray name = description.name.toUtf8();
    PulseProplistHandle properties(pa_proplist_new());
    if (!properties)
        return -PA_ERR_INTERNAL;
    pa_proplist_sets(properties.get(), PA_PROP_MEDIA_NAME, name.constData());
    pa_proplist_sets(properties.get(), deviceUidProperty, description.uid.toUtf8().constData());
    device.stream.reset(pa_stream_new_with_proplist(tap.context.get(), name.constData(), &spec, &channels,
                                                    properties.get()));
    pa_stream* stream = device.stream.get();
    if (!stream)
        return contextError(tap.context.get());
    pa_stream_set_state_callback(stream, &PulseAudioHardware::onStreamState, this);

    pa_buffer_attr buffering;
    buffering.maxlength = static_cast<std::uint32_t>(-1);
    buffering.tlength = static_cast<std::uint32_t>(-1);
    buffering.prebuf = static_cast<std::uint32_t>(-1);
    buffering.minreq = static_cast<std::uint32_t>(-1);
    buffering.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(fragmentMicroseconds, &spec));
    // Corked until deviceStart, so that nothing is buffered before recording
    // begins. Never moved: the user's routing must not turn it into a microphone.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY
                                                      | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, tap.monitorSource.constData(), &buffering, flags) < 0)
        return contextError(tap.context.get());
    const bool settled = m_loop.waitUntil([stream] {
        const pa_stream_state_t state = pa_stream_get_state(stream);
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    }, m_timeout);
    if (!settled)
        return -PA_ERR_TIMEOUT;
    if (pa_stream_get_state(stream) != PA_STREAM_READY)
        return contextError(tap.context.get());
    return 0;
}

OSStatus PulseAudioHardware::destroyAggregateDevice(AudioObjectID device)
{
    if (!m_device || device == 0 || m_device->id != device)
        return -PA_ERR_NOENTITY;
    AudioInputBlock input;
    AudioLossBlock loss;
    PulseMainLoop::Locker locker(m_loop);
    pa_stream* stream = m_device->stream.get();
    if (!connectionGone(stream) && pa_stream_get_state(stream) == PA_STREAM_READY) {
        if (pa_stream_disconnect(stream) < 0 && !connectionGone(stream))
            return contextError(m_tap->context.get());
        // Once the server has confirmed, no mixer lists the stream any more.
        const bool settled = m_loop.waitUntil([stream] {
            return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream));
        }, m_timeout);
        if (!settled)
            return -PA_ERR_TIMEOUT;
    }
    input = std::move(m_device->input);
    loss = std::move(m_device->loss);
    releaseDevice();
    return 0;
}

OSStatus PulseAudioHardware::createIOProc(AudioObjectID device, AudioInputBlock input, AudioLossBlock loss,
                                          AudioDeviceIOProcID* io)
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
    m_device->io = m_nextIOProcID++;
    pa_stream_set_read_callback(m_device->stream.get(), &PulseAudioHardware::onRead, m_device.get());
    *io = m_device->io;
    return 0;
}

OSStatus PulseAudioHardware::destroyIOProc(AudioObjectID device, AudioDeviceIOProcID io)
{
    if (!holdsIOProc(device, io))
        return -PA_ERR_NOENTITY;
    // Declared before the lock so that the blocks' captures die without it.
    AudioInputBlock input;
    AudioLossBlock loss;
    PulseMainLoop::Locker locker(m_loop);
    pa_stream_set_read_callback(m_device->stream.get(), nullptr, nullptr);
    input = std::move(m_device->input);
    loss = std::move(m_device->loss);
    m_device->input = nullptr;
    m_device->loss = nullptr;
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
    if (OSStatus status = acknowledged(stream, [](pa_stream* s, void* answer) {
            return pa_stream_flush(s, onSuccess, answer);
        }))
        return status;
    return acknowledged(stream, [](pa_stream* s, void* answer) { return pa_stream_cork(s, 0, onSuccess, answer); });
}

OSStatus PulseAudioHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID io)
{
    if (!holdsIOProc(device, io))
        return -PA_ERR_NOENTITY;
    PulseMainLoop::Locker locker(m_loop);
    pa_stream* stream = m_device->stream.get();
    // A stream the server no longer has is stopped already.
    if (connectionGone(stream))
        return 0;
    const OSStatus status =
        acknowledged(stream, [](pa_stream* s, void* answer) { return pa_stream_cork(s, 1, onSuccess, answer); });
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

bool PulseAudioHardware::holdsIOProc(AudioObjectID device, AudioDeviceIOProcID io) const
{
    return m_device && device != 0 && m_device->id == device && io != 0 && m_device->io == io;
}

OSStatus PulseAudioHardware::acknowledged(pa_stream* stream, pa_operation* (*start)(pa_stream*, void*))
{
    Answer answer(&m_loop);
    if (OSStatus status = waitForOperation(start(stream, &answer), stream))
        return status;
    return answer.success ? 0 : contextError(m_tap->context.get());
}

OSStatus PulseAudioHardware::waitForOperation(pa_operation* started, pa_stream* stream)
{
    pa_context* context = m_tap->context.get();
    if (!started)
        return contextError(context);
    PulseOperationHandle operation(started);
    const bool settled = m_loop.waitUntil([&] {
        return pa_operation_get_state(operation.get()) != PA_OPERATION_RUNNING
            || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context))
            || (stream && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)));
    }, m_timeout);
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
    if (OSStatus status = contextStatus(); status != 0)
        return status;
    return -PA_ERR_KILLED;
}

OSStatus PulseAudioHardware::contextStatus() const
{
    pa_context* context = m_tap->context.get();
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
    if (pa_context* context = m_tap->context.get()) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
    }
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

void PulseAudioHardware::onRead(pa_stream* stream, size_t, void* userdata)
{
    // The audio queue: nothing here may lock, allocate or make a system call.
    auto* device = static_cast<Device*>(userdata);
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
        if (data) {
            AudioBufferList list;
            list.mNumberBuffers = 1;
            list.mBuffers[0].mNumberChannels = channelCount;
            list.mBuffers[0].mDataByteSize = static_cast<std::uint32_t>(bytes);
            list.mBuffers[0].mData = const_cast<void*>(data);
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

} // namespace vessaro
