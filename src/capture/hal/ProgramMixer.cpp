#include "capture/hal/ProgramMixer.h"

#include <algorithm>
#include <cstring>

namespace vessaro {

ProgramMixer::ProgramMixer(std::uint32_t channels, std::uint32_t capacityFrames)
    : m_channels(channels)
    , m_capacityFrames(capacityFrames)
    , m_queues(std::size_t { maxStreams } * capacityFrames * channels)
{ }

void ProgramMixer::clear(int slot)
{
    m_slots[slot] = {};
}

void ProgramMixer::clearAll()
{
    std::fill(std::begin(m_slots), std::end(m_slots), Slot {});
}

float* ProgramMixer::frameAt(int slot, std::uint32_t frame)
{
    const std::size_t index = std::size_t { m_capacityFrames } * std::size_t(slot) + frame % m_capacityFrames;
    return m_queues.data() + index * m_channels;
}

void ProgramMixer::push(int slot, const float* samples, std::uint32_t frames)
{
    Slot& queue = m_slots[slot];
    if (frames > m_capacityFrames) {
        samples += std::size_t { frames - m_capacityFrames } * m_channels;
        frames = m_capacityFrames;
    }
    // Full: the oldest frames make room.
    if (const std::uint32_t excess = queue.count + frames; excess > m_capacityFrames) {
        queue.head = (queue.head + excess - m_capacityFrames) % m_capacityFrames;
        queue.count = m_capacityFrames - frames;
    }
    const std::uint32_t tail = (queue.head + queue.count) % m_capacityFrames;
    const std::uint32_t first = std::min(frames, m_capacityFrames - tail);
    std::memcpy(frameAt(slot, tail), samples, std::size_t { first } * m_channels * sizeof(float));
    std::memcpy(frameAt(slot, 0), samples + std::size_t { first } * m_channels,
        std::size_t { frames - first } * m_channels * sizeof(float));
    queue.count += frames;
}

void ProgramMixer::mix(float* out, std::uint32_t frames)
{
    std::uint32_t written = 0; // frames of `out` that hold a contribution
    for (int slot = 0; slot < maxStreams; ++slot) {
        Slot& queue = m_slots[slot];
        const std::uint32_t taken = std::min(queue.count, frames);
        for (std::uint32_t done = 0; done < taken;) {
            const std::uint32_t run = std::min(taken - done, m_capacityFrames - (queue.head + done) % m_capacityFrames);
            const float* from = frameAt(slot, queue.head + done);
            float* to = out + std::size_t { done } * m_channels;
            // Added where another slot wrote already, copied beyond.
            const std::size_t added = std::size_t { std::min(run, written > done ? written - done : 0U) } * m_channels;
            for (std::size_t i = 0; i < added; ++i)
                to[i] += from[i];
            std::memcpy(to + added, from + added, (std::size_t { run } * m_channels - added) * sizeof(float));
            done += run;
        }
        queue.head = (queue.head + taken) % m_capacityFrames;
        queue.count -= taken;
        written = std::max(written, taken);
    }
    std::fill(out + std::size_t { written } * m_channels, out + std::size_t { frames } * m_channels, 0.0F);
}

} // namespace vessaro
