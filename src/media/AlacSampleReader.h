#pragma once

#include "base/Result.h"
#include "media/FfmpegHandles.h"

#include <QString>

#include <cstdint>
#include <memory>

namespace vessaro {

// Decodes the ALAC track of an MPEG-4 file into interleaved 32-bit samples
// with the audio in the top bits, whatever depth the file was written at, so
// that a 16-bit and a 24-bit file of the same sound read alike.
//
// Thread: one thread at a time, never the main or the audio thread (it reads
// the disk and decodes).
class AlacSampleReader {
public:
    // Fails with the media layer's error, or invalidOutput when the file has
    // no ALAC track.
    static Result<std::unique_ptr<AlacSampleReader>> open(const QString& path);

    AlacSampleReader(ffmpeg::InputContextPtr input, ffmpeg::CodecContextPtr decoder, int stream);
    ~AlacSampleReader();
    AlacSampleReader(const AlacSampleReader&) = delete;
    AlacSampleReader& operator=(const AlacSampleReader&) = delete;

    int bitDepth() const;
    int channels() const;
    int sampleRate() const;
    // The track's length as the container states it, in frames; 0 if unknown.
    std::int64_t statedFrames() const;
    // The decoder's context: its channel layout and rate describe the track.
    const AVCodecContext& decoder() const { return *m_decoder; }

    // Fills `out` with up to `frames` interleaved frames; fewer only at the
    // end of the track, 0 after it.
    Result<std::uint32_t> read(std::int32_t* out, std::uint32_t frames);

private:
    // Decodes the next frame into m_frame; false at the end of the track.
    Result<bool> decodeNext();

    ffmpeg::InputContextPtr m_input;
    ffmpeg::CodecContextPtr m_decoder;
    ffmpeg::FramePtr m_frame;
    ffmpeg::PacketPtr m_packet;
    int m_stream = 0;
    // m_frame's samples already handed out.
    int m_frameOffset = 0;
    bool m_inputEnded = false;
    bool m_decoderEnded = false;
    // The decoded planes' samples to top-aligned interleaved ones: chosen
    // once for the decoder's sample format.
    void (*m_interleave)(const AVFrame& frame, int from, int count, std::int32_t* out) = nullptr;
};

} // namespace vessaro
