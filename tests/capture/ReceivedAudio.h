#pragma once

#include "capture/hal/AudioHardware.h"

#include <QList>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <numeric>
#include <tuple>
#include <vector>

namespace vessaro::test {

// A capture's callbacks as float32 stereo: written on the audio queue, read on the test thread; test code may lock.
struct ReceivedAudio {
    std::mutex mutex;
    std::vector<float> samples;
    int malformed = 0; // not one interleaved stereo buffer of whole frames
    int afterBarrier = 0; // callbacks once barrierPassed: each is a fault
    int losses = 0;
    int events[3] = {}; // by AudioDeviceEvent
    std::atomic<bool> barrierPassed = false; // set once no callback may follow

    // A copy of `field`, taken under the lock.
    template <typename T> T read(const T& field)
    {
        std::lock_guard lock(mutex);
        return field;
    }
    int lossCount() { return read(losses); }
    int eventCount(AudioDeviceEvent event) { return read(events[int(event)]); }
    // Callbacks after the barrier, malformed buffers, losses: {0, 0, 0} for a clean capture.
    QList<int> faults() { return { read(afterBarrier), read(malformed), read(losses) }; }
    std::size_t sampleCount()
    {
        std::lock_guard lock(mutex);
        return samples.size();
    }
    float peakFrom(std::size_t first)
    {
        std::lock_guard lock(mutex);
        return std::accumulate(samples.begin() + std::ptrdiff_t(first), samples.end(), 0.0F,
            [](float peak, float sample) { return std::max(peak, std::fabs(sample)); });
    }

    // The input, loss and event blocks, each writing into `received`.
    static std::tuple<AudioInputBlock, AudioLossBlock, AudioEventBlock> blocks(std::shared_ptr<ReceivedAudio> received)
    {
        auto input = [received](const AudioBufferList* list) {
            std::lock_guard lock(received->mutex);
            received->afterBarrier += received->barrierPassed ? 1 : 0;
            const AudioBuffer& buffer = list->mBuffers[0];
            if (list->mNumberBuffers != 1 || buffer.mNumberChannels != 2 || buffer.mDataByteSize % 8 != 0
                || buffer.mData == nullptr)
                return void(++received->malformed);
            const auto* data = static_cast<const float*>(buffer.mData);
            received->samples.insert(received->samples.end(), data, data + buffer.mDataByteSize / sizeof(float));
        };
        auto loss = [received](std::uint64_t) {
            std::lock_guard lock(received->mutex);
            received->afterBarrier += received->barrierPassed ? 1 : 0, ++received->losses;
        };
        auto events = [received](AudioDeviceEvent event) {
            std::lock_guard lock(received->mutex);
            ++received->events[int(event)];
        };
        return { input, loss, events };
    }
};

} // namespace vessaro::test
