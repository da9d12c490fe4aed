#pragma once

#include "base/Result.h"
#include "media/Mp4Bytes.h"
#include "media/Mp4WindowedReader.h"

#include <cstdint>
#include <vector>

namespace vessaro::mp4 {

// A top-level box that lies whole inside the file. A plain value; the
// functions below read the file, so any thread but the audio thread.
struct Box {
    std::uint32_t type = 0;
    std::int64_t offset = 0;
    std::int64_t size = 0;
    std::int64_t header = 8;
    std::int64_t end() const { return offset + size; }
    std::int64_t payload() const { return offset + header; }
};

// The whole top-level boxes from the start of the file, up to the first one
// that is torn or malformed.
Result<std::vector<Box>> scanTopLevel(WindowedReader& reader, std::int64_t fileBytes);
// The whole box; an index box too large to be ours is refused.
Result<Bytes> readBox(WindowedReader& reader, const Box& box);

} // namespace vessaro::mp4
