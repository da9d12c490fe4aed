#pragma once

#include <cstdint>

namespace vessaro {

// How the writer's audio track is encoded: codec, rate, channels and bit-depth hint.
struct AudioOutputSettings {
    std::uint32_t formatID = 0;
    double sampleRate = 0;
    int numberOfChannels = 0;
    int encoderBitDepthHint = 0;

    friend bool operator==(const AudioOutputSettings&, const AudioOutputSettings&) = default;
};

} // namespace vessaro
