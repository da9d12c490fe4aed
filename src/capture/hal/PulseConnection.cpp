#include "capture/hal/PulseConnection.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>

#include <map>
#include <utility>

namespace vessaro {
namespace {

OSStatus failure(int code)
{
    return -(code > 0 ? code : PA_ERR_UNKNOWN);
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

// The sinks' monitors and the sink inputs, gathered by two list operations.
struct PlaybackAnswer {
    PulseMainLoop* loop;
    std::map<std::uint32_t, std::uint32_t> monitorOfSink;
    std::vector<PulseConnection::Playback> streams;
};

void onSinkMonitor(pa_context*, const pa_sink_info* info, int endOfList, void* userdata)
{
    auto* answer = static_cast<PlaybackAnswer*>(userdata);
    if (endOfList == 0 && info)
        answer->monitorOfSink[info->index] = info->monitor_source;
    else
        answer->loop->signal();
}

QString property(const pa_proplist* properties, const char* key)
{
    const char* value = pa_proplist_gets(properties, key);
    return value ? QString::fromUtf8(value) : QString();
}

void onSinkInput(pa_context*, const pa_sink_input_info* info, int endOfList, void* userdata)
{
    auto* answer = static_cast<PlaybackAnswer*>(userdata);
    if (endOfList != 0 || !info) {
        answer->loop->signal();
        return;
    }
    const auto monitor = answer->monitorOfSink.find(info->sink);
    PlayingProgram program;
    program.binary = property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY);
    program.name = property(info->proplist, PA_PROP_APPLICATION_NAME);
    if (program.name.isEmpty())
        program.name = program.binary;
    program.processId = property(info->proplist, PA_PROP_APPLICATION_PROCESS_ID).toLongLong();
    program.iconName = property(info->proplist, PA_PROP_APPLICATION_ICON_NAME);
    // A stream that names no program cannot be chosen; one on a sink that
    // came after the sink list is seen on the next look.
    if (!program.name.isEmpty() && monitor != answer->monitorOfSink.end())
        answer->streams.push_back({ info->index, monitor->second, std::move(program) });
}

} // namespace

PulseConnection::PulseConnection(PulseMainLoop& loop, std::chrono::milliseconds timeout, QByteArray name, QString uuid,
    std::function<void()> onServerChange, std::function<void()> onPlaybackChange)
    : m_loop(loop)
    , m_timeout(timeout)
    , m_name(std::move(name))
    , m_uuid(std::move(uuid))
    , m_onServerChange(std::move(onServerChange))
    , m_onPlaybackChange(std::move(onPlaybackChange))
{ }

PulseConnection::~PulseConnection()
{
    if (pa_context* context = m_context.get()) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
    }
}

std::unique_ptr<PulseConnection> PulseConnection::sibling() const
{
    return std::make_unique<PulseConnection>(m_loop, m_timeout, m_name, m_uuid, m_onServerChange, m_onPlaybackChange);
}

OSStatus PulseConnection::connect()
{
    PulseProplistHandle properties(pa_proplist_new());
    if (!properties)
        return -PA_ERR_INTERNAL;
    pa_proplist_sets(properties.get(), uuidProperty, m_uuid.toUtf8().constData());

    m_context.reset(pa_context_new_with_proplist(m_loop.api(), m_name.constData(), properties.get()));
    pa_context* context = m_context.get();
    if (!context)
        return -PA_ERR_INTERNAL;
    pa_context_set_state_callback(context, &PulseConnection::onState, &m_loop);
    // Never start a server of our own: without one, capture fails.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return error();
    const bool settled = waitUntil([context] {
        const pa_context_state_t state = pa_context_get_state(context);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (!settled)
        return -PA_ERR_TIMEOUT;
    if (OSStatus status = this->status(); status != 0)
        return status;
    subscribe();
    return 0;
}

void PulseConnection::subscribe()
{
    // The server's own changes matter: a new default output. A removed
    // output ends our stream, which the supervisor sees by itself. Playback
    // streams matter when one program is followed.
    pa_context_set_subscribe_callback(m_context.get(), &PulseConnection::onSubscription, this);
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SERVER | (m_onPlaybackChange ? PA_SUBSCRIPTION_MASK_SINK_INPUT : 0));
    if (pa_operation* started = pa_context_subscribe(m_context.get(), mask, nullptr, nullptr))
        PulseOperationHandle(started).reset();
}

OSStatus PulseConnection::findDefaultOutput(Output& output)
{
    pa_context* context = m_context.get();
    // Resolved here rather than with "@DEFAULT_MONITOR@": PipeWire 0.3.65
    // resolves that name to the default source, often a microphone.
    Answer server(&m_loop);
    if (OSStatus status = waitFor(pa_context_get_server_info(context, onServerInfo, &server), nullptr))
        return status;
    if (!server.success || server.text.isEmpty())
        return -PA_ERR_NOENTITY;

    Answer sink(&m_loop);
    if (OSStatus status
        = waitFor(pa_context_get_sink_info_by_name(context, server.text.constData(), onSinkInfo, &sink), nullptr))
        return status;
    if (!sink.success || sink.text.isEmpty() || sink.number == 0)
        return -PA_ERR_NOENTITY;
    output.sinkName = server.text;
    output.monitorSource = sink.text;
    output.sampleRate = sink.number;
    return 0;
}

OSStatus PulseConnection::listPlayback(std::vector<Playback>& streams)
{
    pa_context* context = m_context.get();
    PlaybackAnswer answer { &m_loop, {}, {} };
    if (OSStatus status = waitFor(pa_context_get_sink_info_list(context, onSinkMonitor, &answer), nullptr))
        return status;
    if (OSStatus status = waitFor(pa_context_get_sink_input_info_list(context, onSinkInput, &answer), nullptr))
        return status;
    streams = std::move(answer.streams);
    return 0;
}

OSStatus PulseConnection::acknowledged(
    pa_stream* stream, pa_operation* (*start)(pa_stream*, pa_stream_success_cb_t, void*))
{
    Answer answer(&m_loop);
    if (OSStatus status = waitFor(start(stream, onSuccess, &answer), stream))
        return status;
    return answer.success ? 0 : error();
}

OSStatus PulseConnection::waitFor(pa_operation* started, pa_stream* stream)
{
    if (!started)
        return error();
    PulseOperationHandle operation(started);
    pa_context* context = m_context.get();
    const bool settled = waitUntil([&] {
        return pa_operation_get_state(operation.get()) != PA_OPERATION_RUNNING
            || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context))
            || (stream && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)));
    });
    if (!settled) {
        // Its callback must not run after the answer it writes to is gone.
        pa_operation_cancel(operation.get());
        return -PA_ERR_TIMEOUT;
    }
    if (pa_operation_get_state(operation.get()) == PA_OPERATION_DONE)
        return 0;
    pa_operation_cancel(operation.get());
    if (stream && pa_stream_get_state(stream) == PA_STREAM_FAILED)
        return error();
    if (OSStatus status = this->status(); status != 0)
        return status;
    return -PA_ERR_KILLED;
}

bool PulseConnection::waitUntil(const std::function<bool()>& done)
{
    return m_loop.waitUntil(done, m_timeout);
}

OSStatus PulseConnection::status() const
{
    switch (pa_context_get_state(m_context.get())) {
    case PA_CONTEXT_READY:
        return 0;
    case PA_CONTEXT_TERMINATED:
        return -PA_ERR_CONNECTIONTERMINATED;
    default:
        return error();
    }
}

OSStatus PulseConnection::error() const
{
    return failure(pa_context_errno(m_context.get()));
}

bool PulseConnection::isGood() const
{
    return m_context && PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context.get()));
}

void PulseConnection::onState(pa_context*, void* loop)
{
    static_cast<PulseMainLoop*>(loop)->signal();
}

void PulseConnection::onSubscription(pa_context*, pa_subscription_event_type_t type, std::uint32_t, void* userdata)
{
    auto* self = static_cast<PulseConnection*>(userdata);
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER && self->m_onServerChange)
        self->m_onServerChange();
    else if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT && self->m_onPlaybackChange)
        self->m_onPlaybackChange();
}

} // namespace vessaro
