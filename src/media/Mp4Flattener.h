#pragma once

#include "base/PlatformError.h"
#include "base/RecorderError.h"
#include "base/Result.h"
#include "media/Mp4SampleTable.h"

#include <cstdint>
#include <optional>

namespace vessaro {

// Turns a fragmented MPEG-4 file of one audio track, as AlacMp4Muxer writes
// it (ftyp, a moov with mvex, then moof+mdat pairs), into an ordinary one in
// place. The audio bytes never move, so the time taken grows with the number
// of fragments only:
//  1. a torn tail (a crash, a full disk) is cut at the last whole fragment;
//  2. a complete moov built from the fragment headers is appended and synced;
//  3. one 16-byte write turns the old moov into the header of a single mdat
//     that spans every fragment, headers and all. That write is the commit.
// Before the commit the file reads as fragmented, after it as ordinary; a
// file cut short between 2 and 3 is committed by the next call. A failure in
// 2 or 3 (a full disk) puts the file back to its fragmented form, which keeps
// every sample.
//
// Any thread but the audio thread; one call per file at a time.
class Mp4Flattener {
public:
    struct Report {
        // False: the file is a valid fragmented file and conversionError says
        // why it stayed so.
        bool ordinary = false;
        // Kept audio, in the track's timescale (the sample rate).
        std::int64_t samples = 0;
        std::int32_t timescale = 0;
        std::int64_t fileBytes = 0;
        std::optional<PlatformError> conversionError;
    };

    Mp4Flattener() = delete;

    // `fd` is open for reading and writing; its offset is not used. Fails with
    // invalidOutput when not one whole fragment is there (the file is then
    // left as it was), or with the file system's error. The refusal equals
    // provedEmpty() only when the file is empty, or parses as this layout and
    // no whole fragment follows its header: then it holds no audio. Any other
    // refusal leaves open that the file holds audio this reader cannot find.
    static Result<Report> flatten(int fd);
    static RecorderError provedEmpty();

    // The same for the file's own writer, which kept `table` while writing:
    // no fragment is read back. `headerBytes` is where the first fragment
    // starts (ftyp and moov before it), `fragmentsEnd` where the last whole
    // one ends; the table must describe exactly the samples in between.
    static Result<Report> flattenWritten(
        int fd, std::int64_t headerBytes, std::int64_t fragmentsEnd, const Mp4SampleTable& table);
};

} // namespace vessaro
