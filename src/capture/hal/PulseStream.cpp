#include "capture/hal/PulseStream.h"

#include <pulse/error.h>
#include <pulse/timeval.h>

#include <utility>

namespace vessaro {
namespace {

constexpr std::uint32_t channelCount = 2;
// The server's default fragment is two seconds; a recorder wants a steady
// trickle of small buffers instead.
constexpr pa_usec_t fragmentMicroseconds = 20 * PA_USEC_PER_MSEC;
// What the server may hold for us while the audio queue is held up. Beyond
// it the server drops audio, which the supervisor then reports.
constexpr pa_usec_t serverBufferMicroseconds = 2000 * PA_USEC_PER_MSEC;

} // namespace

PulseStream::PulseStream(PulseConnection& connection, Settings settings)
    : m_connection(connection)
    , m_settings(std::move(settings))
{ }

PulseStream::~PulseStream()
{
    if (pa_stream* stream = m_stream.get()) {
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        if (pa_stream_get_state(stream) == PA_STREAM_READY)
            pa_stream_disconnect(stream);
    }
}

std::unique_ptr<PulseStream> PulseStream::sibling(PulseConnection& connection) const
{
    return std::make_unique<PulseStream>(connection, m_settings);
}

OSStatus PulseStream::open(const QByteArray& source, bool corked, std::uint32_t playback)
{
    if (OSStatus status = m_connection.status(); status != 0)
        return status;
    m_source = source;
    pa_channel_map channels;
    pa_channel_map_init_stereo(&channels);

    PulseProplistHandle properties(pa_proplist_new());
    if (!properties)
        return -PA_ERR_INTERNAL;
    pa_proplist_sets(properties.get(), PA_PROP_MEDIA_NAME, m_settings.name.constData());
    pa_proplist_sets(properties.get(), uidProperty, m_settings.uid.constData());
    const pa_sample_spec* format = &m_settings.format;
    m_stream.reset(pa_stream_new_with_proplist(
        m_connection.context(), m_settings.name.constData(), format, &channels, properties.get()));
    pa_stream* stream = m_stream.get();
    if (!stream)
        return m_connection.error();
    pa_stream_set_state_callback(stream, &PulseStream::onState, &m_connection.loop());
    if (playback != PA_INVALID_INDEX && pa_stream_set_monitor_stream(stream, playback) < 0)
        return m_connection.error();

    pa_buffer_attr buffering;
    buffering.maxlength = static_cast<std::uint32_t>(pa_usec_to_bytes(serverBufferMicroseconds, format));
    buffering.tlength = static_cast<std::uint32_t>(-1);
    buffering.prebuf = static_cast<std::uint32_t>(-1);
    buffering.minreq = static_cast<std::uint32_t>(-1);
    buffering.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(fragmentMicroseconds, format));
    // Corked until deviceStart, so that nothing is buffered before recording
    // begins. Never moved by the server: the user's routing must not turn it
    // into a microphone; the supervisor follows the output instead.
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (corked)
        flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_START_CORKED);
    if (pa_stream_connect_record(stream, source.constData(), &buffering, flags) < 0)
        return m_connection.error();
    const bool settled = m_connection.waitUntil([stream] {
        const pa_stream_state_t state = pa_stream_get_state(stream);
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    });
    if (!settled)
        return -PA_ERR_TIMEOUT;
    if (pa_stream_get_state(stream) != PA_STREAM_READY)
        return m_connection.error();
    return 0;
}

void PulseStream::readInto(const AudioInputBlock* input, const AudioLossBlock* loss)
{
    m_input = input;
    m_loss = loss;
    if (m_stream)
        pa_stream_set_read_callback(m_stream.get(), input ? &PulseStream::onRead : nullptr, input ? this : nullptr);
}

OSStatus PulseStream::flush()
{
    return m_connection.acknowledged(m_stream.get(), pa_stream_flush);
}

OSStatus PulseStream::setCorked(bool corked)
{
    if (corked)
        return m_connection.acknowledged(m_stream.get(),
            [](pa_stream* s, pa_stream_success_cb_t done, void* answer) { return pa_stream_cork(s, 1, done, answer); });
    return m_connection.acknowledged(m_stream.get(),
        [](pa_stream* s, pa_stream_success_cb_t done, void* answer) { return pa_stream_cork(s, 0, done, answer); });
}

OSStatus PulseStream::disconnect()
{
    pa_stream* stream = m_stream.get();
    if (pa_stream_disconnect(stream) < 0 && m_connection.isGood() && isGood())
        return m_connection.error();
    const bool settled = m_connection.waitUntil([stream] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)); });
    return settled ? 0 : -PA_ERR_TIMEOUT;
}

bool PulseStream::isReady() const
{
    return m_stream && pa_stream_get_state(m_stream.get()) == PA_STREAM_READY;
}

bool PulseStream::isCorked() const
{
    return m_stream && pa_stream_is_corked(m_stream.get()) != 0;
}

bool PulseStream::isGood() const
{
    return m_stream && PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream.get()));
}

void PulseStream::onState(pa_stream*, void* loop)
{
    static_cast<PulseMainLoop*>(loop)->signal();
}

void PulseStream::onRead(pa_stream* stream, size_t, void* userdata) noexcept
{
    // The audio queue: nothing here may lock, allocate, make a system call or wait.
    auto* self = static_cast<PulseStream*>(userdata);
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
        if (data) {
            AudioBufferList list;
            list.mNumberBuffers = 1;
            list.mBuffers[0].mNumberChannels = channelCount;
            list.mBuffers[0].mDataByteSize = static_cast<std::uint32_t>(bytes);
            list.mBuffers[0].mData = const_cast<void*>(data);
            self->m_bytesReceived += bytes;
            (*self->m_input)(&list);
        } else if (self->m_loss && *self->m_loss) {
            // A hole: the server skipped audio of ours and says so. This is the
            // only loss libpulse reports for a record stream; its overflow
            // notice is sent to playback streams only.
            (*self->m_loss)(bytes);
        }
        pa_stream_drop(stream);
    }
}

} // namespace vessaro
