#include "capture/hal/PulseProgramStreams.h"

#include <algorithm>
#include <utility>

namespace vessaro {
namespace {

constexpr std::uint32_t channelCount = 2;
constexpr std::uint32_t bytesPerFrame = channelCount * sizeof(float);

} // namespace

PulseProgramStreams::PulseProgramStreams(QString program, PulseStream::Settings settings)
    : m_program(std::move(program))
    , m_settings(std::move(settings))
    , m_chunkFrames(m_settings.format.rate / 10)
    // Half a second: far more than the server's order of delivery needs,
    // little enough that a stalled time base leaves no long lag.
    , m_mixer(channelCount, m_settings.format.rate / 2)
    , m_mix(std::size_t { m_chunkFrames } * channelCount)
{
    for (int slot = 0; slot < ProgramMixer::maxStreams; ++slot) {
        m_followed[slot].input = [this, slot](const AudioBufferList* list) {
            const AudioBuffer& buffer = list->mBuffers[0];
            m_mixer.push(slot, static_cast<const float*>(buffer.mData), buffer.mDataByteSize / bytesPerFrame);
        };
    }
    m_timeBase = [this](const AudioBufferList* list) {
        // Only the time base's length counts: what it carries is the whole output.
        for (std::uint32_t frames = list->mBuffers[0].mDataByteSize / bytesPerFrame; frames > 0;) {
            const std::uint32_t chunk = std::min(frames, m_chunkFrames);
            m_mixer.mix(m_mix.data(), chunk);
            AudioBufferList mixed;
            mixed.mNumberBuffers = 1;
            mixed.mBuffers[0] = { channelCount, chunk * bytesPerFrame, m_mix.data() };
            (*m_input)(&mixed);
            frames -= chunk;
        }
    };
}

const AudioInputBlock* PulseProgramStreams::timeBase(const AudioInputBlock* input, const AudioLossBlock* loss)
{
    m_input = input;
    m_loss = loss;
    return &m_timeBase;
}

OSStatus PulseProgramStreams::follow(PulseConnection& connection)
{
    std::vector<PulseConnection::Playback> playing;
    if (OSStatus status = connection.listPlayback(playing); status != 0)
        return status;
    std::erase_if(playing, [this](const auto& stream) { return stream.program.name != m_program; });

    for (int slot = 0; slot < ProgramMixer::maxStreams; ++slot) {
        const Followed& followed = m_followed[slot];
        const bool listed = std::any_of(playing.begin(), playing.end(),
            [&followed](const auto& stream) { return stream.index == followed.playback; });
        // A stream moved to another output is ended by the server: open it anew.
        if (followed.stream && (!listed || !followed.stream->isGood()))
            close(slot);
    }
    for (const PulseConnection::Playback& stream : playing) {
        const auto followedAlready = std::any_of(std::begin(m_followed), std::end(m_followed),
            [&stream](const Followed& followed) { return followed.stream && followed.playback == stream.index; });
        const auto free = std::find_if(
            std::begin(m_followed), std::end(m_followed), [](const Followed& followed) { return !followed.stream; });
        if (followedAlready || free == std::end(m_followed))
            continue;
        auto opened = std::make_unique<PulseStream>(connection, m_settings);
        // One that fails (it ended meanwhile) is left out; its removal wakes us again.
        if (opened->open(QByteArray::number(stream.sinkMonitor), false, stream.index) != 0)
            continue;
        opened->readInto(&free->input, m_loss);
        free->playback = stream.index;
        free->stream = std::move(opened);
    }
    return 0;
}

void PulseProgramStreams::closeAll()
{
    for (int slot = 0; slot < ProgramMixer::maxStreams; ++slot)
        close(slot);
}

void PulseProgramStreams::close(int slot)
{
    m_followed[slot].stream.reset();
    m_mixer.clear(slot);
}

} // namespace vessaro
