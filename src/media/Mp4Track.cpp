#include "media/Mp4Track.h"

#include "media/Mp4Cursor.h"
#include "media/Mp4TrackBoxes.h"

#include <algorithm>
#include <limits>

namespace vessaro::mp4 {

std::optional<Track> readFragmentedMoov(Bytes moov, std::size_t payload)
{
    const auto boxes = trackBoxesOf(moov, payload);
    if (!boxes)
        return std::nullopt;
    Track track;
    const auto movie = timescaleOf(moov, *boxes->mvhd);
    const auto media = timescaleOf(moov, *boxes->mdhd);
    Cursor tkhd(moov, *boxes->tkhd);
    std::uint32_t versionFlags = 0;
    if (!movie || !media || !tkhd.u32(versionFlags) || !tkhd.skip(versionFlags >> 24 == 1 ? 16 : 8)
        || !tkhd.u32(track.id))
        return std::nullopt;
    track.movieTimescale = *movie;
    track.mediaTimescale = *media;
    const Child* mvex = find(boxes->top, kMvex);
    const auto mvexChildren = mvex ? childrenOf(moov, *mvex) : std::nullopt;
    if (!mvexChildren)
        return std::nullopt;
    for (const Child& trex : *mvexChildren) {
        Cursor cursor(moov, trex);
        std::uint32_t id = 0;
        std::uint32_t descriptionIndex = 0;
        if (trex.type == kTrex && cursor.skip(4) && cursor.u32(id) && id == track.id && cursor.u32(descriptionIndex)
            && cursor.u32(track.defaultDuration) && cursor.u32(track.defaultSize)) {
            track.moov = std::move(moov);
            track.payload = payload;
            return track;
        }
    }
    return std::nullopt;
}

bool addFragment(const Bytes& moof, const Box& moofBox, const Box& mdat, const Track& track, Mp4SampleTable& table)
{
    const auto top = childrenOf(moof, std::size_t(moofBox.header), moof.size());
    if (!top)
        return false;
    const Child* traf = find(*top, kTraf);
    int trafs = 0;
    for (const Child& child : *top)
        trafs += child.type == kTraf ? 1 : 0;
    const auto parts = traf && trafs == 1 ? childrenOf(moof, *traf) : std::nullopt;
    const Child* tfhd = parts ? find(*parts, kTfhd) : nullptr;
    if (!tfhd)
        return false;

    Cursor header(moof, *tfhd);
    std::uint32_t flags = 0;
    std::uint32_t id = 0;
    std::uint64_t base = std::uint64_t(moofBox.offset);
    std::uint32_t defaultDuration = track.defaultDuration;
    std::uint32_t defaultSize = track.defaultSize;
    if (!header.u32(flags) || !header.u32(id) || id != track.id || ((flags & 0x1) && !header.u64(base))
        || ((flags & 0x2) && !header.skip(4)) || ((flags & 0x8) && !header.u32(defaultDuration))
        || ((flags & 0x10) && !header.u32(defaultSize)))
        return false;

    if (const Child* tfdt = find(*parts, kTfdt)) {
        Cursor time(moof, *tfdt);
        std::uint32_t versionFlags = 0;
        std::uint64_t decodeTime = 0;
        if (!time.u32(versionFlags) || !time.sized(versionFlags >> 24 == 1, decodeTime)
            || decodeTime != std::uint64_t(table.duration))
            return false;
    }

    Mp4SampleTable added;
    std::int64_t next = std::int64_t(base);
    std::int64_t claimed = mdat.payload();
    for (const Child& trun : *parts) {
        if (trun.type != kTrun)
            continue;
        Cursor run(moof, trun);
        std::uint32_t runFlags = 0;
        std::uint32_t count = 0;
        std::uint32_t dataOffset = 0;
        if (!run.u32(runFlags) || !run.u32(count) || ((runFlags & 0x1) && !run.u32(dataOffset))
            || ((runFlags & 0x4) && !run.skip(4)))
            return false;
        const std::size_t fieldBytes = std::size_t { 4 }
            * ((runFlags & 0x100 ? 1u : 0u) + (runFlags & 0x200 ? 1u : 0u) + (runFlags & 0x400 ? 1u : 0u)
                + (runFlags & 0x800 ? 1u : 0u));
        if (fieldBytes > 0 && run.left() / fieldBytes < count)
            return false;
        std::int64_t at = next;
        if ((runFlags & 0x1)
            && __builtin_add_overflow(std::int64_t(base), std::int64_t { std::int32_t(dataOffset) }, &at))
            return false;
        const std::int64_t start = at;
        // Runs may not share bytes, and each sample takes one at least: the
        // samples are bounded by the bytes the mdat holds, checked before the
        // table grows. Otherwise runs that all point at one large mdat would
        // make the table grow with it, run after run.
        const std::uint64_t leastBytes = std::uint64_t(count) * ((runFlags & 0x200) ? 1 : std::max(defaultSize, 1u));
        if (start < claimed || start > mdat.end() || leastBytes > std::uint64_t(mdat.end() - start))
            return false;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint32_t duration = defaultDuration;
            std::uint32_t size = defaultSize;
            std::uint32_t compositionOffset = 0;
            if (((runFlags & 0x100) && !run.u32(duration)) || ((runFlags & 0x200) && !run.u32(size))
                || ((runFlags & 0x400) && !run.skip(4)) || ((runFlags & 0x800) && !run.u32(compositionOffset)))
                return false;
            // Audio has no reordering; a zero duration or size is no sample of ours.
            if (duration == 0 || size == 0 || compositionOffset != 0)
                return false;
            // Checked per sample: a run of default-sized samples carries only its
            // count, which a broken file may set to billions.
            if (size > mdat.end() - at)
                return false;
            if (__builtin_add_overflow(added.duration, std::int64_t { duration }, &added.duration))
                return false;
            added.sizes.push_back(size);
            added.durations.push_back(duration);
            at += size;
        }
        if (at > mdat.end())
            return false;
        if (count > 0)
            added.chunks.push_back({ start, count });
        next = claimed = at;
    }
    if (table.duration > std::numeric_limits<std::int64_t>::max() / 2 - added.duration)
        return false;
    table.sizes.insert(table.sizes.end(), added.sizes.begin(), added.sizes.end());
    table.durations.insert(table.durations.end(), added.durations.begin(), added.durations.end());
    table.chunks.insert(table.chunks.end(), added.chunks.begin(), added.chunks.end());
    table.duration += added.duration;
    return true;
}

} // namespace vessaro::mp4
