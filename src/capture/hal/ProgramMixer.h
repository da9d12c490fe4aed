#pragma once

#include <cstdint>
#include <vector>

namespace vessaro {

// Mixes the sound of up to maxStreams playback streams into the cycles of another
// stream, the time base. Each followed stream has a slot, a queue of
// interleaved float frames that its read callback fills; each cycle of the
// time base takes as many frames as it needs from every slot and sums them,
// zeros where a slot holds fewer. A slot that contributes alone passes through
// bit for bit: the first contribution is copied, never added to zeros.
//
// Why a time base of its own: the output's monitor runs as long as the output
// does, so the take's timeline keeps running while the program is silent,
// paused or gone, and a new stream of it simply joins the next cycle. The
// queues absorb the order in which the server delivers the streams. A slot
// full beyond its capacity (the time base stalled while it was replaced, or
// the program's output runs faster than the default one) drops its oldest
// frames, so the lag behind the time base stays bounded.
//
// Threads: one thread at a time (on PulseAudio, with the main loop's lock
// held). Only the constructor allocates: push() and mix() take no lock,
// allocate nothing and make no system call.
class ProgramMixer {
public:
    static constexpr int maxStreams = 8;

    ProgramMixer(std::uint32_t channels, std::uint32_t capacityFrames);

    // Drops what the slot holds: its stream is gone, or a new one takes it.
    void clear(int slot);
    void clearAll();

    // Adds `frames` frames to the slot's queue.
    void push(int slot, const float* samples, std::uint32_t frames);
    // Writes `frames` frames of the mix to `out`, taking them from the queues.
    void mix(float* out, std::uint32_t frames);

private:
    struct Slot {
        std::uint32_t head = 0; // first queued frame
        std::uint32_t count = 0; // frames queued
    };

    float* frameAt(int slot, std::uint32_t frame);

    const std::uint32_t m_channels;
    const std::uint32_t m_capacityFrames;
    Slot m_slots[maxStreams];
    std::vector<float> m_queues; // maxStreams queues of m_capacityFrames frames each
};

} // namespace vessaro
