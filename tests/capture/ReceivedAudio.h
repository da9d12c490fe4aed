#pragma once

#include "base/AudioBufferList.h"
#include "capture/hal/AudioDeviceEvent.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
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
    int malformed = 0; // not one interleaved stereo buffer of whole frames
    int afterBarrier = 0; // callbacks after markBarrier(): each is a fault
    int losses = 0;
    std::vector<AudioDeviceEvent> events;
    bool barrierPassed = false;

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
    int lossCount()
    {
        std::lock_guard lock(mutex);
        return losses;
    }
    int eventCount(AudioDeviceEvent event)
    {
        std::lock_guard lock(mutex);
        return static_cast<int>(std::count(events.begin(), events.end(), event));
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
            received->afterBarrier += received->barrierPassed ? 1 : 0;
            const AudioBuffer& buffer = list->mBuffers[0];
            if (list->mNumberBuffers != 1 || buffer.mNumberChannels != 2 || buffer.mDataByteSize % 8 != 0
                || buffer.mData == nullptr) {
                ++received->malformed;
                return;
            }
            const auto* data = static_cast<const float*>(buffer.mData);
            received->samples.insert(received->samples.end(), data, data + buffer.mDataByteSize / sizeof(float));
        };
    }
    static std::function<void(std::uint64_t)> lossInto(const std::shared_ptr<ReceivedAudio>& received)
    {
        return [received](std::uint64_t) {
            std::lock_guard lock(received->mutex);
            received->afterBarrier += received->barrierPassed ? 1 : 0;
            ++received->losses;
        };
    }
    static std::function<void(AudioDeviceEvent)> eventsInto(const std::shared_ptr<ReceivedAudio>& received)
    {
        return [received](AudioDeviceEvent event) {
            std::lock_guard lock(received->mutex);
            received->events.push_back(event);
        };
    }
};

} // namespace vessaro::test
