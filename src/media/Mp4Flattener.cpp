#include "media/Mp4Flattener.h"

#include "media/Mp4Box.h"
#include "media/Mp4FileIo.h"
#include "media/Mp4OrdinaryMoov.h"
#include "media/Mp4Track.h"
#include "media/Mp4WindowedReader.h"

#include <cerrno>
#include <limits>
#include <vector>

#include <sys/stat.h>

namespace vessaro {

using namespace mp4;

namespace {

// The header that replaces the old moov: a 64-bit mdat header.
constexpr std::int64_t kRegionHeaderBytes = 16;

// The header that makes [offset, end) one mdat.
Bytes regionHeader(std::int64_t offset, std::int64_t end)
{
    Bytes header;
    put32(header, 1); // the size follows as 64 bits
    put32(header, kMdat);
    put64(header, std::uint64_t(end - offset));
    return header;
}

// Steps 1 to 3 for a file whose fragments up to `keptEnd` are whole and
// described by `table`; the region starts with the fragmented moov.
Result<Mp4Flattener::Report> convert(int fd, std::int64_t fileBytes, std::int64_t regionOffset, std::int64_t keptEnd,
    const Track& track, const Mp4SampleTable& table)
{
    // The torn tail goes first: nothing after the last whole fragment is audio.
    if (fileBytes > keptEnd) {
        if (int error = truncateTo(fd, keptEnd); error != 0)
            return writeError(error);
    }
    Mp4Flattener::Report report { false, table.duration, std::int32_t(track.mediaTimescale), keptEnd, std::nullopt };
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
    struct stat info { };
    if (::fstat(fd, &info) != 0)
        return readError(errno);
    const std::int64_t fileBytes = info.st_size;
    WindowedReader reader(fd, fileBytes);
    auto scanned = scanTopLevel(reader, fileBytes);
    if (!scanned)
        return scanned.error();
    const std::vector<Box>& boxes = scanned.value();
    if (fileBytes == 0)
        return provedEmpty();
    if (boxes.size() < 2 || boxes[0].type != kFtyp || boxes[1].size < kRegionHeaderBytes)
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
        const auto audio
            = describedAudio(moov.value(), std::size_t(box->header), region.offset + kRegionHeaderBytes, box->offset);
        if (audio) {
            // As in 2 and 3: the index is on the disk before the commit that makes it count.
            if (int error = fileBytes > box->end() ? truncateTo(fd, box->end()) : 0; error != 0)
                return writeError(error);
            if (int error = syncData(fd); error != 0)
                return writeError(error);
            if (int error = writeAt(fd, region.offset, regionHeader(region.offset, box->offset)); error != 0)
                return writeError(error);
            return Report { true, audio->samples, audio->timescale, box->end(), std::nullopt };
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

    Mp4SampleTable table;
    std::int64_t keptEnd = region.end();
    for (std::size_t i = 2; i + 1 < boxes.size() && boxes[i].type == kMoof && boxes[i + 1].type == kMdat; i += 2) {
        auto moof = readBox(reader, boxes[i]);
        if (!moof)
            return moof.error();
        if (!addFragment(moof.value(), boxes[i], boxes[i + 1], *track, table))
            break;
        keptEnd = boxes[i + 1].end();
    }
    // Proof of no audio: the header is ours and at most a torn fragment follows.
    if (table.sizes.empty())
        return boxes.size() == 2 || (boxes.size() == 3 && boxes[2].type == kMoof) ? provedEmpty() : nothingWhole();
    return convert(fd, fileBytes, region.offset, keptEnd, *track, table);
}

RecorderError Mp4Flattener::provedEmpty()
{
    return RecorderError::invalidOutput(QStringLiteral("录音文件中没有音频。"));
}

Result<Mp4Flattener::Report> Mp4Flattener::flattenWritten(
    int fd, std::int64_t headerBytes, std::int64_t fragmentsEnd, const Mp4SampleTable& table)
{
    struct stat info { };
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
