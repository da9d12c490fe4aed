#include "media/Mp4Flattener.h"

#include "base/RecorderError.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace vessaro {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t fourcc(const char (&code)[5])
{
    return std::uint32_t(std::uint8_t(code[0])) << 24 | std::uint32_t(std::uint8_t(code[1])) << 16
        | std::uint32_t(std::uint8_t(code[2])) << 8 | std::uint32_t(std::uint8_t(code[3]));
}

constexpr std::uint32_t kFtyp = fourcc("ftyp"), kMoov = fourcc("moov"), kMoof = fourcc("moof"),
                        kMdat = fourcc("mdat"), kMvhd = fourcc("mvhd"), kTrak = fourcc("trak"),
                        kTkhd = fourcc("tkhd"), kEdts = fourcc("edts"), kMdia = fourcc("mdia"),
                        kMdhd = fourcc("mdhd"), kMinf = fourcc("minf"), kStbl = fourcc("stbl"),
                        kStsd = fourcc("stsd"), kStts = fourcc("stts"), kStsc = fourcc("stsc"),
                        kStsz = fourcc("stsz"), kStco = fourcc("stco"), kCo64 = fourcc("co64"),
                        kMvex = fourcc("mvex"), kTrex = fourcc("trex"), kTraf = fourcc("traf"),
                        kTfhd = fourcc("tfhd"), kTfdt = fourcc("tfdt"), kTrun = fourcc("trun");

// The header that replaces the old moov: a 64-bit mdat header.
constexpr std::int64_t kRegionHeaderBytes = 16;
// Index boxes beyond this are not ours; reading one would only waste memory.
constexpr std::int64_t kMaximumIndexBytes = 256LL << 20;

std::uint32_t be32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]);
}
std::uint64_t be64(const std::uint8_t* p) { return std::uint64_t(be32(p)) << 32 | be32(p + 4); }
void put32(Bytes& out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(std::uint8_t(v >> shift));
}
void put64(Bytes& out, std::uint64_t v)
{
    put32(out, std::uint32_t(v >> 32));
    put32(out, std::uint32_t(v));
}

// File I/O that neither uses nor moves the descriptor's offset. 0 or an errno;
// ENODATA when the file ends first.
int readAt(int fd, std::int64_t offset, std::uint8_t* data, std::size_t size)
{
    for (std::size_t done = 0; done < size;) {
        const ssize_t got = ::pread(fd, data + done, size - done, off_t(offset) + off_t(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            return ENODATA;
        done += std::size_t(got);
    }
    return 0;
}
// Reads through a small window: a moof and the header of the mdat after it
// come in one pread, which keeps finishing an hour-long take quick.
class WindowedReader {
public:
    WindowedReader(int fd, std::int64_t fileBytes) : m_fd(fd), m_fileBytes(fileBytes) {}
    // 0, an errno, or ENODATA when the file ends first.
    int read(std::int64_t offset, std::uint8_t* data, std::size_t size)
    {
        if (size > m_window.size())
            return readAt(m_fd, offset, data, size);
        if (m_windowAt < 0 || offset < m_windowAt || offset + std::int64_t(size) > m_windowAt + m_windowBytes) {
            const std::int64_t wanted = std::min(std::int64_t(m_window.size()), m_fileBytes - offset);
            if (wanted < std::int64_t(size))
                return ENODATA;
            if (const int error = readAt(m_fd, offset, m_window.data(), std::size_t(wanted)); error != 0)
                return error;
            m_windowAt = offset;
            m_windowBytes = wanted;
        }
        std::memcpy(data, m_window.data() + (offset - m_windowAt), size);
        return 0;
    }

private:
    int m_fd;
    std::int64_t m_fileBytes;
    std::array<std::uint8_t, 4096> m_window{};
    std::int64_t m_windowAt = -1;
    std::int64_t m_windowBytes = 0;
};

int writeAt(int fd, std::int64_t offset, const Bytes& bytes)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t put = ::pwrite(fd, bytes.data() + done, bytes.size() - done, off_t(offset) + off_t(done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return put < 0 ? errno : EIO;
        done += std::size_t(put);
    }
    return 0;
}
int syncData(int fd)
{
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}
int truncateTo(int fd, std::int64_t size)
{
    while (::ftruncate(fd, off_t(size)) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

RecorderError nothingWhole() { return RecorderError::invalidOutput(QStringLiteral("录音文件中没有完整的音频。")); }
PlatformError readError(int error) { return PlatformError::fromErrno(error, QStringLiteral("无法读取录音文件")); }
PlatformError writeError(int error) { return PlatformError::fromErrno(error, QStringLiteral("无法写入录音文件的索引")); }

// A top-level box that lies whole inside the file.
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
Result<std::vector<Box>> scanTopLevel(WindowedReader& reader, std::int64_t fileBytes)
{
    std::vector<Box> boxes;
    std::uint8_t head[16];
    for (std::int64_t at = 0; fileBytes - at >= 8;) {
        if (const int error = reader.read(at, head, 8); error != 0)
            return readError(error);
        Box box{be32(head + 4), at, std::int64_t(be32(head)), 8};
        if (box.size == 1) {
            if (fileBytes - at < 16)
                break;
            if (const int error = reader.read(at + 8, head + 8, 8); error != 0)
                return readError(error);
            box.size = std::int64_t(be64(head + 8));
            box.header = 16;
        }
        // Size 0 ("to the end of the file") is never written here: a torn header.
        if (box.size < box.header || box.size > fileBytes - at)
            break;
        boxes.push_back(box);
        at = box.end();
    }
    return boxes;
}

Result<Bytes> readBox(WindowedReader& reader, const Box& box)
{
    if (box.size > kMaximumIndexBytes)
        return nothingWhole();
    Bytes bytes(std::size_t(box.size));
    if (const int error = reader.read(box.offset, bytes.data(), bytes.size()); error != 0)
        return readError(error);
    return bytes;
}

// A box inside a box held in memory: [begin, end), its payload from `payload`.
struct Child {
    std::uint32_t type = 0;
    std::size_t begin = 0;
    std::size_t payload = 0;
    std::size_t end = 0;
};
using Children = std::vector<Child>;

// The boxes in [begin, end) of `bytes`; none when one of them overruns.
std::optional<Children> childrenOf(const Bytes& bytes, std::size_t begin, std::size_t end)
{
    Children children;
    for (std::size_t at = begin; at < end;) {
        if (end - at < 8)
            return std::nullopt;
        std::uint64_t size = be32(&bytes[at]);
        std::size_t header = 8;
        if (size == 1) {
            if (end - at < 16)
                return std::nullopt;
            size = be64(&bytes[at + 8]);
            header = 16;
        }
        if (size < header || size > end - at)
            return std::nullopt;
        children.push_back({be32(&bytes[at + 4]), at, at + header, at + std::size_t(size)});
        at += std::size_t(size);
    }
    return children;
}
std::optional<Children> childrenOf(const Bytes& bytes, const Child& parent)
{
    return childrenOf(bytes, parent.payload, parent.end);
}
const Child* find(const Children& children, std::uint32_t type)
{
    for (const Child& child : children) {
        if (child.type == type)
            return &child;
    }
    return nullptr;
}

// Bounds-checked big-endian reads from one box.
class Cursor {
public:
    Cursor(const Bytes& bytes, const Child& box) : m_bytes(bytes), m_at(box.payload), m_end(box.end) {}
    bool u32(std::uint32_t& value)
    {
        if (m_end - m_at < 4)
            return false;
        value = be32(&m_bytes[m_at]);
        m_at += 4;
        return true;
    }
    bool u64(std::uint64_t& value)
    {
        if (m_end - m_at < 8)
            return false;
        value = be64(&m_bytes[m_at]);
        m_at += 8;
        return true;
    }
    // A 32-bit field in version 0, a 64-bit one in version 1.
    bool sized(bool wide, std::uint64_t& value)
    {
        std::uint32_t narrow = 0;
        if (wide)
            return u64(value);
        if (!u32(narrow))
            return false;
        value = narrow;
        return true;
    }
    bool skip(std::size_t bytes)
    {
        if (m_end - m_at < bytes)
            return false;
        m_at += bytes;
        return true;
    }
    std::size_t left() const { return m_end - m_at; }

private:
    const Bytes& m_bytes;
    std::size_t m_at;
    std::size_t m_end;
};

// The timescale of mvhd or mdhd: after version/flags and two times.
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

// The one track of a moov: its header, media and sample table boxes.
struct TrackBoxes {
    Children top, trak, mdia, minf, stbl;
    const Child* mvhd = nullptr;
    const Child* tkhd = nullptr;
    const Child* mdhd = nullptr;
};

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

// What the fragmented moov says about the track.
struct Track {
    Bytes moov;
    std::size_t payload = 8;
    std::uint32_t id = 0;
    std::uint32_t mediaTimescale = 0;
    std::uint32_t movieTimescale = 0;
    std::uint32_t defaultDuration = 0;
    std::uint32_t defaultSize = 0;
};

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

using SampleTable = Mp4SampleTable;

// Adds the samples of one moof whose data lies in `mdat`; false, and the table
// unchanged, unless the fragment is whole and continues the timeline.
bool addFragment(const Bytes& moof, const Box& moofBox, const Box& mdat, const Track& track, SampleTable& table)
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

    SampleTable added;
    std::int64_t next = std::int64_t(base);
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
        const std::size_t fieldBytes = 4u * ((runFlags & 0x100 ? 1u : 0u) + (runFlags & 0x200 ? 1u : 0u)
                                             + (runFlags & 0x400 ? 1u : 0u) + (runFlags & 0x800 ? 1u : 0u));
        if (fieldBytes > 0 && run.left() / fieldBytes < count)
            return false;
        std::int64_t at = next;
        if ((runFlags & 0x1) && __builtin_add_overflow(std::int64_t(base), std::int64_t{std::int32_t(dataOffset)}, &at))
            return false;
        const std::int64_t start = at;
        if (start < mdat.payload())
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
            added.sizes.push_back(size);
            added.durations.push_back(duration);
            added.duration += duration;
            at += size;
        }
        if (at > mdat.end())
            return false;
        if (count > 0)
            added.chunks.push_back({start, count});
        next = at;
    }
    if (table.duration > std::numeric_limits<std::int64_t>::max() / 2 - added.duration)
        return false;
    table.sizes.insert(table.sizes.end(), added.sizes.begin(), added.sizes.end());
    table.durations.insert(table.durations.end(), added.durations.begin(), added.durations.end());
    table.chunks.insert(table.chunks.end(), added.chunks.begin(), added.chunks.end());
    table.duration += added.duration;
    return true;
}

Bytes makeBox(std::uint32_t type, const Bytes& payload)
{
    Bytes box;
    box.reserve(payload.size() + 8);
    put32(box, std::uint32_t(payload.size() + 8));
    put32(box, type);
    box.insert(box.end(), payload.begin(), payload.end());
    return box;
}

Bytes copyOf(const Bytes& bytes, const Child& child)
{
    return Bytes(bytes.begin() + std::ptrdiff_t(child.begin), bytes.begin() + std::ptrdiff_t(child.end));
}

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
    payload.insert(payload.end(), bytes.begin() + std::ptrdiff_t(between),
                   bytes.begin() + std::ptrdiff_t(between + betweenBytes));
    time(duration);
    payload.insert(payload.end(), bytes.begin() + std::ptrdiff_t(rest), bytes.begin() + std::ptrdiff_t(box.end));
    return makeBox(box.type, payload);
}

// stts, stsc, stsz and stco (co64 when an offset needs it).
Bytes sampleTableBoxes(const SampleTable& table)
{
    Bytes out;
    const auto append = [&](std::uint32_t type, const Bytes& payload) {
        const Bytes box = makeBox(type, payload);
        out.insert(out.end(), box.begin(), box.end());
    };

    Bytes stts{0, 0, 0, 0};
    std::vector<std::pair<std::uint32_t, std::uint32_t>> timing;  // count, duration
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

    Bytes stsc{0, 0, 0, 0};
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;  // first chunk (from 1), samples per chunk
    for (std::size_t i = 0; i < table.chunks.size(); ++i) {
        if (runs.empty() || runs.back().second != table.chunks[i].samples)
            runs.emplace_back(std::uint32_t(i + 1), table.chunks[i].samples);
    }
    put32(stsc, std::uint32_t(runs.size()));
    for (const auto& [first, samples] : runs) {
        put32(stsc, first);
        put32(stsc, samples);
        put32(stsc, 1);  // the one sample description
    }
    append(kStsc, stsc);

    Bytes stsz{0, 0, 0, 0};
    put32(stsz, 0);  // sizes differ: one entry each
    put32(stsz, std::uint32_t(table.sizes.size()));
    for (const std::uint32_t size : table.sizes)
        put32(stsz, size);
    append(kStsz, stsz);

    bool wide = false;
    for (const auto& chunk : table.chunks)
        wide = wide || chunk.offset > std::int64_t(std::numeric_limits<std::uint32_t>::max());
    Bytes offsets{0, 0, 0, 0};
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

// The ordinary moov: the fragmented one with durations, a filled sample
// table, and without mvex and edit lists.
std::optional<Bytes> flatMoov(const Track& track, const SampleTable& table)
{
    const auto boxes = trackBoxesOf(track.moov, track.payload);
    if (!boxes)
        return std::nullopt;
    const Bytes& moov = track.moov;
    const std::uint64_t mediaDuration = std::uint64_t(table.duration);
    const std::uint64_t movieDuration = rescaledUp(table.duration, track.mediaTimescale, track.movieTimescale);
    const auto keep = [&](const Child& child) { return std::optional<Bytes>(copyOf(moov, child)); };

    const Edit stblEdit = [&](const Child& c) { return c.type == kStsd ? keep(c) : std::optional<Bytes>(Bytes{}); };
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
            return std::optional<Bytes>(Bytes{});
        return c.type == kMdia ? rebuilt(kMdia, boxes->mdia, mdiaEdit) : keep(c);
    };
    const Edit moovEdit = [&](const Child& c) {
        if (c.type == kMvhd)
            return withDuration(moov, c, movieDuration);
        if (c.type == kMvex)
            return std::optional<Bytes>(Bytes{});
        return c.type == kTrak ? rebuilt(kTrak, boxes->trak, trakEdit) : keep(c);
    };
    return rebuilt(kMoov, boxes->top, moovEdit);
}

struct Described {
    std::int64_t samples = 0;
    std::int32_t timescale = 0;
};

// Whether `moov` is an ordinary moov whose every chunk lies in
// [regionBegin, regionEnd); if so, the audio it describes.
std::optional<Described> describedAudio(const Bytes& moov, std::size_t payload, std::int64_t regionBegin,
                                        std::int64_t regionEnd)
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
    if (!timescale || *timescale > std::uint32_t(std::numeric_limits<std::int32_t>::max()) || !stsz || !stsc
        || !stts || (!stco == !co64))
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
        samples += std::int64_t(count) * delta;
    }
    if (timed != sampleCount)
        return std::nullopt;

    Cursor runs(moov, *stsc);
    std::uint32_t runCount = 0;
    if (!runs.skip(4) || !runs.u32(runCount) || runCount == 0 || runs.left() / 12 < runCount)
        return std::nullopt;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> perChunk(runCount);  // first chunk, samples
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
    return Described{samples, std::int32_t(*timescale)};
}

// The header that makes [offset, end) one mdat.
Bytes regionHeader(std::int64_t offset, std::int64_t end)
{
    Bytes header;
    put32(header, 1);  // the size follows as 64 bits
    put32(header, kMdat);
    put64(header, std::uint64_t(end - offset));
    return header;
}

// Steps 1 to 3 for a file whose fragments up to `keptEnd` are whole and
// described by `table`; the region starts with the fragmented moov.
Result<Mp4Flattener::Report> convert(int fd, std::int64_t fileBytes, std::int64_t regionOffset, std::int64_t keptEnd,
                                     const Track& track, const SampleTable& table)
{
    // The torn tail goes first: nothing after the last whole fragment is audio.
    if (fileBytes > keptEnd) {
        if (int error = truncateTo(fd, keptEnd); error != 0)
            return writeError(error);
    }
    Mp4Flattener::Report report{false, table.duration, std::int32_t(track.mediaTimescale), keptEnd, std::nullopt};
    const auto moov = flatMoov(track, table);
    if (!moov) {
        report.conversionError = writeError(EINVAL);
        return report;
    }
    // Until the new moov is on disk, the fragmented form is the valid one.
    int error = writeAt(fd, keptEnd, *moov);
    if (error == 0)
        error = syncData(fd);
    if (error == 0)
        error = writeAt(fd, regionOffset, regionHeader(regionOffset, keptEnd));
    if (error != 0) {
        // The old moov is intact unless the header write above went through.
        (void)truncateTo(fd, keptEnd);
        (void)syncData(fd);
        report.conversionError = writeError(error);
        return report;
    }
    // No sync for the commit itself: should it not reach the disk, the file
    // reads as fragmented, whole, and the next look commits it again.
    report.ordinary = true;
    report.fileBytes = keptEnd + std::int64_t(moov->size());
    return report;
}

} // namespace

Result<Mp4Flattener::Report> Mp4Flattener::flatten(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return readError(errno);
    const std::int64_t fileBytes = info.st_size;
    WindowedReader reader(fd, fileBytes);
    auto scanned = scanTopLevel(reader, fileBytes);
    if (!scanned)
        return scanned.error();
    const std::vector<Box>& boxes = scanned.value();
    if (boxes.size() < 3 || boxes[0].type != kFtyp || boxes[1].size < kRegionHeaderBytes)
        return nothingWhole();
    // What follows ftyp: the fragmented moov, or the mdat written over it.
    const Box& region = boxes[1];

    // Already committed: the last whole box is a moov that describes the
    // data before it. Finish the commit (again, if it was done) and cut
    // whatever torn bytes follow.
    if (const Box* box = &boxes.back(); box->type == kMoov) {
        auto moov = readBox(reader, *box);
        if (!moov)
            return moov.error();
        const auto audio = describedAudio(moov.value(), std::size_t(box->header), region.offset + kRegionHeaderBytes,
                                          box->offset);
        if (audio) {
            if (int error = writeAt(fd, region.offset, regionHeader(region.offset, box->offset)); error != 0)
                return writeError(error);
            if (int error = fileBytes > box->end() ? truncateTo(fd, box->end()) : 0; error != 0)
                return writeError(error);
            if (int error = syncData(fd); error != 0)
                return writeError(error);
            return Report{true, audio->samples, audio->timescale, box->end(), std::nullopt};
        }
    }

    if (region.type != kMoov)
        return nothingWhole();
    auto header = readBox(reader, region);
    if (!header)
        return header.error();
    const auto track = readFragmentedMoov(std::move(header).value(), std::size_t(region.header));
    if (!track || track->mediaTimescale > std::uint32_t(std::numeric_limits<std::int32_t>::max()))
        return nothingWhole();

    SampleTable table;
    std::int64_t keptEnd = region.end();
    for (std::size_t i = 2; i + 1 < boxes.size() && boxes[i].type == kMoof && boxes[i + 1].type == kMdat; i += 2) {
        auto moof = readBox(reader, boxes[i]);
        if (!moof)
            return moof.error();
        if (!addFragment(moof.value(), boxes[i], boxes[i + 1], *track, table))
            break;
        keptEnd = boxes[i + 1].end();
    }
    if (table.sizes.empty())
        return nothingWhole();
    return convert(fd, fileBytes, region.offset, keptEnd, *track, table);
}

Result<Mp4Flattener::Report> Mp4Flattener::flattenWritten(int fd, std::int64_t headerBytes, std::int64_t fragmentsEnd,
                                                          const Mp4SampleTable& table)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return readError(errno);
    WindowedReader reader(fd, headerBytes);
    auto scanned = scanTopLevel(reader, headerBytes);
    if (!scanned)
        return scanned.error();
    const std::vector<Box>& boxes = scanned.value();
    if (boxes.size() != 2 || boxes[0].type != kFtyp || boxes[1].type != kMoov || boxes[1].end() != headerBytes
        || table.sizes.empty() || info.st_size < fragmentsEnd)
        return nothingWhole();
    auto header = readBox(reader, boxes[1]);
    if (!header)
        return header.error();
    const auto track = readFragmentedMoov(std::move(header).value(), std::size_t(boxes[1].header));
    if (!track || track->mediaTimescale > std::uint32_t(std::numeric_limits<std::int32_t>::max()))
        return nothingWhole();
    return convert(fd, info.st_size, boxes[1].offset, fragmentsEnd, *track, table);
}

} // namespace vessaro
