#pragma once

#include "base/AudioBufferList.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace vessaro::test {

// What a capture's callbacks saw, as float32 stereo: written on the audio
// queue, read on the test thread. Test code, so it may lock.
struct ReceivedAudio {
    std::mutex mutex;
    std::vector<float> samples;
    int malformed = 0;      // not one interleaved stereo buffer of whole frames
    int afterBarrier = 0;   // callbacks after markBarrier()
    int losses = 0;
    bool barrierPassed = false;

    // From here on every callback is a fault.
    void markBarrier()
    {
        std::lock_guard lock(mutex);
        barrierPassed = true;
    }
    std::size_t sampleCount()
    {
        std::lock_guard lock(mutex);
        return samples.size();
    }
    float peakFrom(std::size_t first)
    {
        std::lock_guard lock(mutex);
        float peak = 0;
        for (std::size_t i = first; i < samples.size(); ++i)
            peak = std::max(peak, std::fabs(samples[i]));
        return peak;
    }

    static std::function<void(const AudioBufferList*)> inputInto(const std::shared_ptr<ReceivedAudio>& received)
    {
        return [received](const AudioBufferList* list) {
            std::lock_guard lock(received->mutex);
            if (received->barrierPassed)
                ++received->afterBarrier;
            const AudioBuffer& buffer = list->mBuffers[0];
            if (list->mNumberBuffers != 1 || buffer.mNumberChannels != 2 || buffer.mDataByteSize % 8 != 0
                || buffer.mData == nullptr) {
                ++received->malformed;
                return;
            }
            const std::size_t first = received->samples.size();
            received->samples.resize(first + buffer.mDataByteSize / sizeof(float));
            std::memcpy(received->samples.data() + first, buffer.mData, buffer.mDataByteSize);
        };
    }

    static std::function<void(std::uint64_t)> lossInto(const std::shared_ptr<ReceivedAudio>& received)
    {
        return [received](std::uint64_t) {
            std::lock_guard lock(received->mutex);
            if (received->barrierPassed)
                ++received->afterBarrier;
            ++received->losses;
        };
    }
};

} // namespace vessaro::test
