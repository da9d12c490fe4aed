#pragma once

#include "media/Mp4Bytes.h"
#include "media/Mp4SampleTable.h"
#include "media/Mp4Track.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vessaro::mp4 {

// The moov of an ordinary file, built from a fragmented track or checked
// against the data it describes: what it says about the audio. A plain value;
// the functions below any thread.
struct OrdinaryMoov {
    std::int64_t samples = 0;
    std::int32_t timescale = 0;
};

// The ordinary moov: the fragmented one with durations, a filled sample
// table, and without mvex and edit lists.
std::optional<Bytes> flatMoov(const Track& track, const Mp4SampleTable& table);
// Whether `moov` is an ordinary moov whose every chunk lies in
// [regionBegin, regionEnd); if so, the audio it describes.
std::optional<OrdinaryMoov> describedAudio(
    const Bytes& moov, std::size_t payload, std::int64_t regionBegin, std::int64_t regionEnd);

} // namespace vessaro::mp4
