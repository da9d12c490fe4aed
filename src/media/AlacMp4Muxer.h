#pragma once

#include "base/Result.h"
#include "media/FfmpegHandles.h"

extern "C" {
#include <libavutil/rational.h>
}

#include <QString>

#include <cstdint>
#include <memory>

struct AVStream;

namespace vessaro {

// Puts the packets of one ALAC stream into an MPEG-4 file through
// libavformat's mp4 muxer. All file output of the writer goes through here,
// so how the file is laid out on disk is decided in this class alone.
// Thread: created on the set-up thread, then used by one thread at a time
// (the encoder thread, then the finishing thread after it has joined).
class AlacMp4Muxer {
public:
    // Creates (or truncates) the file at `path`, readable by the user alone.
    // Fails with the file system's or the media layer's error.
    static Result<std::unique_ptr<AlacMp4Muxer>> create(const QString& path);

    // Takes the file and the handles that create() made; use create().
    AlacMp4Muxer(int fd, ffmpeg::IOContextPtr io, ffmpeg::OutputContextPtr format);
    ~AlacMp4Muxer();
    AlacMp4Muxer(const AlacMp4Muxer&) = delete;
    AlacMp4Muxer& operator=(const AlacMp4Muxer&) = delete;

    // Adds the stream of the opened `encoder` (time base 1/sample rate) and
    // writes the header. 0 or an AVERROR.
    int writeHeader(const AVCodecContext& encoder);
    // Writes one packet whose pts, dts and duration count samples. 0 or an AVERROR.
    int writePacket(AVPacket& packet);
    // Writes the trailer (only after a header was written), flushes and closes
    // the file. 0 or the first AVERROR.
    int finish();
    // Closes the file as it stands, without a trailer.
    void abandon();

private:
    static int writeToFile(void* opaque, std::uint8_t* data, int size);
    static std::int64_t seekInFile(void* opaque, std::int64_t offset, int whence);
    int closeFile();

    int m_fd;
    // Freed in this order by the destructor: IO context, format context, file.
    ffmpeg::IOContextPtr m_io;
    ffmpeg::OutputContextPtr m_format;
    AVStream* m_stream = nullptr;
    AVRational m_sampleTimeBase{0, 1};
    bool m_headerWritten = false;
};

} // namespace vessaro
