#include "media/Mp4OrdinaryMoov.h"

#include "media/Mp4Cursor.h"
#include "media/Mp4TrackBoxes.h"

#include <functional>
#include <limits>
#include <utility>
#include <vector>

namespace vessaro::mp4 {
namespace {

// mvhd, tkhd or mdhd with `duration`; version 1 when it does not fit 32 bits.
std::optional<Bytes> withDuration(const Bytes& bytes, const Child& box, std::uint64_t duration)
{
    Cursor cursor(bytes, box);
    std::uint32_t versionFlags = 0;
    std::uint64_t created = 0;
    std::uint64_t modified = 0;
    std::uint64_t old = 0;
    if (!cursor.u32(versionFlags) || versionFlags >> 24 > 1)
        return std::nullopt;
    const bool wasWide = versionFlags >> 24 == 1;
    // Between the times and the duration: the timescale, or the track id and a reserved word.
    const std::size_t betweenBytes = box.type == kTkhd ? 8 : 4;
    if (!cursor.sized(wasWide, created) || !cursor.sized(wasWide, modified))
        return std::nullopt;
    const std::size_t between = box.end - cursor.left();
    if (!cursor.skip(betweenBytes) || !cursor.sized(wasWide, old))
        return std::nullopt;
    const std::size_t rest = box.end - cursor.left();

    const bool wide = wasWide || duration > std::numeric_limits<std::uint32_t>::max();
    Bytes payload;
    put32(payload, (versionFlags & 0xFFFFFFu) | (wide ? 1u << 24 : 0u));
    const auto time = [&](std::uint64_t value) { wide ? put64(payload, value) : put32(payload, std::uint32_t(value)); };
    time(created);
    time(modified);
    payload.insert(
        payload.end(), bytes.begin() + std::ptrdiff_t(between), bytes.begin() + std::ptrdiff_t(between + betweenBytes));
    time(duration);
    payload.insert(payload.end(), bytes.begin() + std::ptrdiff_t(rest), bytes.begin() + std::ptrdiff_t(box.end));
    return makeBox(box.type, payload);
}

// stts, stsc, stsz and stco (co64 when an offset needs it).
Bytes sampleTableBoxes(const Mp4SampleTable& table)
{
    Bytes out;
    const auto append = [&](std::uint32_t type, const Bytes& payload) {
        const Bytes box = makeBox(type, payload);
        out.insert(out.end(), box.begin(), box.end());
    };

    Bytes stts { 0, 0, 0, 0 };
    std::vector<std::pair<std::uint32_t, std::uint32_t>> timing; // count, duration
    for (const std::uint32_t duration : table.durations) {
        if (timing.empty() || timing.back().second != duration)
            timing.emplace_back(0, duration);
        ++timing.back().first;
    }
    put32(stts, std::uint32_t(timing.size()));
    for (const auto& [count, duration] : timing) {
        put32(stts, count);
        put32(stts, duration);
    }
    append(kStts, stts);

    Bytes stsc { 0, 0, 0, 0 };
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs; // first chunk (from 1), samples per chunk
    for (std::size_t i = 0; i < table.chunks.size(); ++i) {
        if (runs.empty() || runs.back().second != table.chunks[i].samples)
            runs.emplace_back(std::uint32_t(i + 1), table.chunks[i].samples);
    }
    put32(stsc, std::uint32_t(runs.size()));
    for (const auto& [first, samples] : runs) {
        put32(stsc, first);
        put32(stsc, samples);
        put32(stsc, 1); // the one sample description
    }
    append(kStsc, stsc);

    Bytes stsz { 0, 0, 0, 0 };
    put32(stsz, 0); // sizes differ: one entry each
    put32(stsz, std::uint32_t(table.sizes.size()));
    for (const std::uint32_t size : table.sizes)
        put32(stsz, size);
    append(kStsz, stsz);

    bool wide = false;
    for (const auto& chunk : table.chunks)
        wide = wide || chunk.offset > std::int64_t(std::numeric_limits<std::uint32_t>::max());
    Bytes offsets { 0, 0, 0, 0 };
    put32(offsets, std::uint32_t(table.chunks.size()));
    for (const auto& chunk : table.chunks)
        wide ? put64(offsets, std::uint64_t(chunk.offset)) : put32(offsets, std::uint32_t(chunk.offset));
    append(wide ? kCo64 : kStco, offsets);
    return out;
}

// `parent` rebuilt from its children as `edit` returns them: a box, nothing
// (empty: dropped), or none to give up.
using Edit = std::function<std::optional<Bytes>(const Child&)>;
std::optional<Bytes> rebuilt(std::uint32_t type, const Children& children, const Edit& edit, const Bytes& appended = {})
{
    Bytes payload;
    for (const Child& child : children) {
        const auto box = edit(child);
        if (!box)
            return std::nullopt;
        payload.insert(payload.end(), box->begin(), box->end());
    }
    payload.insert(payload.end(), appended.begin(), appended.end());
    return makeBox(type, payload);
}

// value * to / from, rounded up, without overflow for any 32-bit scales.
std::uint64_t rescaledUp(std::int64_t value, std::uint32_t from, std::uint32_t to)
{
    const auto whole = std::uint64_t(value) / from;
    const auto rest = std::uint64_t(value) % from;
    return whole * to + (rest * to + from - 1) / from;
}

} // namespace

std::optional<Bytes> flatMoov(const Track& track, const Mp4SampleTable& table)
{
    const auto boxes = trackBoxesOf(track.moov, track.payload);
    if (!boxes)
        return std::nullopt;
    const Bytes& moov = track.moov;
    const std::uint64_t mediaDuration = std::uint64_t(table.duration);
    const std::uint64_t movieDuration = rescaledUp(table.duration, track.mediaTimescale, track.movieTimescale);
    const auto keep = [&](const Child& child) { return std::optional<Bytes>(copyOf(moov, child)); };

    const Edit stblEdit = [&](const Child& c) { return c.type == kStsd ? keep(c) : std::optional<Bytes>(Bytes {}); };
    const Edit minfEdit = [&](const Child& c) {
        return c.type == kStbl ? rebuilt(kStbl, boxes->stbl, stblEdit, sampleTableBoxes(table)) : keep(c);
    };
    const Edit mdiaEdit = [&](const Child& c) {
        if (c.type == kMdhd)
            return withDuration(moov, c, mediaDuration);
        return c.type == kMinf ? rebuilt(kMinf, boxes->minf, minfEdit) : keep(c);
    };
    const Edit trakEdit = [&](const Child& c) {
        if (c.type == kTkhd)
            return withDuration(moov, c, movieDuration);
        if (c.type == kEdts)
            return std::optional<Bytes>(Bytes {});
        return c.type == kMdia ? rebuilt(kMdia, boxes->mdia, mdiaEdit) : keep(c);
    };
    const Edit moovEdit = [&](const Child& c) {
        if (c.type == kMvhd)
            return withDuration(moov, c, movieDuration);
        if (c.type == kMvex)
            return std::optional<Bytes>(Bytes {});
        return c.type == kTrak ? rebuilt(kTrak, boxes->trak, trakEdit) : keep(c);
    };
    return rebuilt(kMoov, boxes->top, moovEdit);
}

std::optional<OrdinaryMoov> describedAudio(
    const Bytes& moov, std::size_t payload, std::int64_t regionBegin, std::int64_t regionEnd)
{
    const auto boxes = trackBoxesOf(moov, payload);
    if (!boxes || find(boxes->top, kMvex))
        return std::nullopt;
    const auto timescale = timescaleOf(moov, *boxes->mdhd);
    const Child* stsz = find(boxes->stbl, kStsz);
    const Child* stsc = find(boxes->stbl, kStsc);
    const Child* stts = find(boxes->stbl, kStts);
    const Child* stco = find(boxes->stbl, kStco);
    const Child* co64 = find(boxes->stbl, kCo64);
    if (!timescale || *timescale > std::uint32_t(std::numeric_limits<std::int32_t>::max()) || !stsz || !stsc || !stts
        || (!stco == !co64))
        return std::nullopt;

    Cursor sizes(moov, *stsz);
    std::uint32_t constantSize = 0;
    std::uint32_t sampleCount = 0;
    if (!sizes.skip(4) || !sizes.u32(constantSize) || !sizes.u32(sampleCount) || sampleCount == 0
        || (constantSize == 0 && sizes.left() / 4 < sampleCount))
        return std::nullopt;

    Cursor timing(moov, *stts);
    std::uint32_t entries = 0;
    std::uint64_t timed = 0;
    std::int64_t samples = 0;
    if (!timing.skip(4) || !timing.u32(entries) || timing.left() / 8 < entries)
        return std::nullopt;
    for (std::uint32_t i = 0; i < entries; ++i) {
        std::uint32_t count = 0;
        std::uint32_t delta = 0;
        (void)(timing.u32(count) && timing.u32(delta));
        timed += count;
        // Two 32-bit fields make a 64-bit product: the sum may pass what 63 bits hold.
        const std::uint64_t span = std::uint64_t(count) * delta;
        if (span > std::uint64_t(std::numeric_limits<std::int64_t>::max() - samples))
            return std::nullopt;
        samples += std::int64_t(span);
    }
    if (timed != sampleCount)
        return std::nullopt;

    Cursor runs(moov, *stsc);
    std::uint32_t runCount = 0;
    if (!runs.skip(4) || !runs.u32(runCount) || runCount == 0 || runs.left() / 12 < runCount)
        return std::nullopt;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> perChunk(runCount); // first chunk, samples
    for (auto& [first, count] : perChunk)
        (void)(runs.u32(first) && runs.u32(count) && runs.skip(4));

    const bool wide = co64 != nullptr;
    Cursor offsets(moov, wide ? *co64 : *stco);
    std::uint32_t chunkCount = 0;
    if (!offsets.skip(4) || !offsets.u32(chunkCount) || offsets.left() / (wide ? 8 : 4) < chunkCount
        || perChunk.front().first != 1)
        return std::nullopt;
    std::uint32_t sample = 0;
    std::size_t run = 0;
    for (std::uint32_t chunk = 1; chunk <= chunkCount; ++chunk) {
        while (run + 1 < perChunk.size() && perChunk[run + 1].first <= chunk)
            ++run;
        if (run + 1 < perChunk.size() && perChunk[run + 1].first <= perChunk[run].first)
            return std::nullopt;
        std::uint64_t offset = 0;
        (void)offsets.sized(wide, offset);
        const std::uint32_t count = perChunk[run].second;
        if (count == 0 || count > sampleCount - sample)
            return std::nullopt;
        std::uint64_t bytes = std::uint64_t(constantSize) * count;
        if (constantSize == 0) {
            for (std::uint32_t i = 0; i < count; ++i) {
                std::uint32_t size = 0;
                (void)sizes.u32(size);
                bytes += size;
            }
        }
        sample += count;
        if (offset < std::uint64_t(regionBegin) || offset > std::uint64_t(regionEnd)
            || bytes > std::uint64_t(regionEnd) - offset)
            return std::nullopt;
    }
    if (sample != sampleCount)
        return std::nullopt;
    return OrdinaryMoov { samples, std::int32_t(*timescale) };
}

} // namespace vessaro::mp4
