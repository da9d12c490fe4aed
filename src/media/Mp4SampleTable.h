#pragma once

#include <cstdint>
#include <vector>

namespace vessaro {

// The samples of a fragmented file's whole fragments, as the ordinary file's
// index lists them: one chunk per run of samples, sizes in bytes, durations
// in the track's timescale. A plain value; one thread at a time.
struct Mp4SampleTable {
    struct Chunk {
        std::int64_t offset = 0; // in the file
        std::uint32_t samples = 0;
    };
    std::vector<std::uint32_t> sizes;
    std::vector<std::uint32_t> durations;
    std::vector<Chunk> chunks;
    std::int64_t duration = 0;
};

} // namespace vessaro
