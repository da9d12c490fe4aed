#pragma once

#include <cstdint>

namespace vessaro {

// One buffer of audio bytes, laid out like the platform structure it mirrors.
struct AudioBuffer {
    std::uint32_t mNumberChannels = 0;
    std::uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};

// The buffers of one IO cycle. Valid only during the callback it is handed to.
// Like the platform type, it is declared with one buffer; producers that need
// more allocate the larger block themselves.
struct AudioBufferList {
    std::uint32_t mNumberBuffers = 0;
    AudioBuffer mBuffers[1]; // NOLINT(cppcoreguidelines-avoid-c-arrays)
};

} // namespace vessaro
