#include "media/Mp4TrackBoxes.h"

#include "media/Mp4Cursor.h"

namespace vessaro::mp4 {

std::optional<std::uint32_t> timescaleOf(const Bytes& bytes, const Child& box)
{
    Cursor cursor(bytes, box);
    std::uint32_t versionFlags = 0;
    std::uint32_t timescale = 0;
    if (!cursor.u32(versionFlags) || !cursor.skip(versionFlags >> 24 == 1 ? 16 : 8) || !cursor.u32(timescale)
        || timescale == 0)
        return std::nullopt;
    return timescale;
}

std::optional<TrackBoxes> trackBoxesOf(const Bytes& moov, std::size_t payload)
{
    TrackBoxes t;
    auto top = childrenOf(moov, payload, moov.size());
    if (!top)
        return std::nullopt;
    t.top = std::move(*top);
    int traks = 0;
    for (const Child& child : t.top)
        traks += child.type == kTrak ? 1 : 0;
    const Child* trak = find(t.top, kTrak);
    t.mvhd = find(t.top, kMvhd);
    if (traks != 1 || !t.mvhd)
        return std::nullopt;
    auto trakChildren = childrenOf(moov, *trak);
    if (!trakChildren)
        return std::nullopt;
    t.trak = std::move(*trakChildren);
    const Child* mdia = find(t.trak, kMdia);
    t.tkhd = find(t.trak, kTkhd);
    auto mdiaChildren = mdia ? childrenOf(moov, *mdia) : std::nullopt;
    if (!t.tkhd || !mdiaChildren)
        return std::nullopt;
    t.mdia = std::move(*mdiaChildren);
    const Child* minf = find(t.mdia, kMinf);
    t.mdhd = find(t.mdia, kMdhd);
    auto minfChildren = minf ? childrenOf(moov, *minf) : std::nullopt;
    if (!t.mdhd || !minfChildren)
        return std::nullopt;
    t.minf = std::move(*minfChildren);
    const Child* stbl = find(t.minf, kStbl);
    auto stblChildren = stbl ? childrenOf(moov, *stbl) : std::nullopt;
    if (!stblChildren || !find(*stblChildren, kStsd))
        return std::nullopt;
    t.stbl = std::move(*stblChildren);
    return t;
}

} // namespace vessaro::mp4
