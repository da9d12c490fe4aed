#pragma once

#include "base/FileDescriptor.h"
#include "base/Result.h"
#include "media/FfmpegHandles.h"
#include "media/FragmentSyncer.h"
#include "media/Mp4Flattener.h"

extern "C" {
#include <libavutil/rational.h>
}

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

struct AVStream;

namespace vessaro {

// Puts the packets of one ALAC stream into an MPEG-4 file through
// libavformat's mp4 muxer. All file output of the writer goes through here,
// so how the file is laid out on disk is decided in this class alone.
//
// While recording the file is fragmented (ftyp, a moov without samples, then
// a moof+mdat pair per closed fragment), so that whatever reached the disk
// reads as media at every moment, after a crash or a power cut too. finish()
// makes it an ordinary file in place (Mp4Flattener).
//
// Fragments reach the disk through a FragmentSyncer of the muxer's own, so a
// stalled disk never holds up the encoder; a fragment counts as kept only
// once it is synced.
//
// Thread: created on the set-up thread, then used by one thread at a time
// (the encoder thread, then the finishing thread after it has joined).
class AlacMp4Muxer {
public:
    // A recording is readable by the user alone; a file made for someone else
    // (an export's staging copy) keeps the mode it was created with.
    enum class Access { userOnly, keepMode };

    // Creates (or truncates) the file at `path`. Fails with the file system's
    // or the media layer's error.
    static Result<std::unique_ptr<AlacMp4Muxer>> create(const QString& path, Access access = Access::userOnly);

    // Takes the file and the handles that create() made; use create().
    AlacMp4Muxer(FileDescriptor file, ffmpeg::IOContextPtr io, ffmpeg::OutputContextPtr format);
    ~AlacMp4Muxer();
    AlacMp4Muxer(const AlacMp4Muxer&) = delete;
    AlacMp4Muxer& operator=(const AlacMp4Muxer&) = delete;

    // Adds the stream of the opened `encoder` (time base 1/sample rate) and
    // writes the header. 0 or an AVERROR.
    int writeHeader(const AVCodecContext& encoder);
    // Queues one packet whose pts, dts and duration count samples for the
    // current fragment. 0 or an AVERROR.
    int writePacket(AVPacket& packet);
    // Writes the packets queued since the last call as one fragment and asks
    // for it to be synced; never waits on the disk. 0 or an AVERROR (also
    // that of an earlier fragment's failed sync); after one, only salvage()
    // is left.
    int closeFragment();
    // Waits until every fragment is synced, closes the last one and makes the
    // file ordinary in place. When only that conversion fails (a full disk),
    // or closing the file reports an error after it, the file is valid and
    // the report's conversionError says why. An error when the file cannot be
    // written or read: the file stays open, and salvage() keeps what it can.
    Result<Mp4Flattener::Report> finish();
    // After a failure: keeps every whole fragment proven on the disk as a
    // valid file (ordinary if possible) and closes it. invalidOutput when not
    // one was whole: the file then holds no audio and the caller may remove
    // it. Any other error leaves the file as it is, audio and all.
    Result<Mp4Flattener::Report> salvage();
    // Closes the file as it stands, without a trailer.
    void abandon();

private:
    static int writeToFile(void* opaque, std::uint8_t* data, int size);
    static std::int64_t seekInFile(void* opaque, std::int64_t offset, int whence);
    // Pushes the IO buffer to the file and syncs it. 0 or an AVERROR.
    int flushToDisk();
    // Adds the fragment just written to the index, once its mdat is where
    // the queued packets say it is; otherwise finishing parses the file.
    void indexWrittenFragment();

    FileDescriptor m_file;
    // The destructor frees these in the order that FfmpegHandles.h gives.
    ffmpeg::IOContextPtr m_io;
    ffmpeg::OutputContextPtr m_format;
    AVStream* m_stream = nullptr;
    AVRational m_sampleTimeBase { 0, 1 };
    // From the header on; stopped before the file is closed.
    std::unique_ptr<FragmentSyncer> m_syncer;
    bool m_headerWritten = false;

    // The index of the closed fragments, kept as they are written so that
    // finishing reads none of them back.
    Mp4SampleTable m_index;
    std::vector<std::uint32_t> m_queuedSizes;
    std::vector<std::uint32_t> m_queuedDurations;
    std::int64_t m_headerBytes = 0;
    std::int64_t m_fragmentsEnd = 0;
    bool m_indexUsable = true;
};

} // namespace vessaro
