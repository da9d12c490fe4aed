#pragma once

#include "media/Mp4Bytes.h"
#include "media/Mp4Child.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vessaro::mp4 {

// The one track of a moov: its header, media and sample table boxes. Points
// into the moov it was read from; a plain value. The functions below touch
// only their arguments: any thread.
struct TrackBoxes {
    Children top, trak, mdia, minf, stbl;
    const Child* mvhd = nullptr;
    const Child* tkhd = nullptr;
    const Child* mdhd = nullptr;
};

// The boxes of the moov in `moov` (payload from `payload`), which must hold
// exactly one track with a sample description.
std::optional<TrackBoxes> trackBoxesOf(const Bytes& moov, std::size_t payload);
// The timescale of mvhd or mdhd: after version/flags and two times.
std::optional<std::uint32_t> timescaleOf(const Bytes& bytes, const Child& box);

} // namespace vessaro::mp4
