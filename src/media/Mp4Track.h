#pragma once

#include "media/Mp4Box.h"
#include "media/Mp4Bytes.h"
#include "media/Mp4SampleTable.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vessaro::mp4 {

// What the fragmented moov says about the track. A plain value; the
// functions below touch only their arguments: any thread.
struct Track {
    Bytes moov;
    std::size_t payload = 8;
    std::uint32_t id = 0;
    std::uint32_t mediaTimescale = 0;
    std::uint32_t movieTimescale = 0;
    std::uint32_t defaultDuration = 0;
    std::uint32_t defaultSize = 0;
};

// The track of a fragmented moov (payload from `payload`), or none.
std::optional<Track> readFragmentedMoov(Bytes moov, std::size_t payload);
// Adds the samples of one moof whose data lies in `mdat`; false, and the table
// unchanged, unless the fragment is whole and continues the timeline.
bool addFragment(const Bytes& moof, const Box& moofBox, const Box& mdat, const Track& track, Mp4SampleTable& table);

} // namespace vessaro::mp4
