#pragma once

// Owners for the FFmpeg handles of the media floor. The deleters are defined
// out of line so that headers need no FFmpeg include. A handle is freed on
// whichever thread owns it last; no two threads use one at the same time.
//
// Custom IO is freed in one order: the format context first (with its pb set
// to null, so that nothing reaches the IO context), then the IO context and
// its buffer, then the file descriptor the IO context writes to.

#include <memory>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;

namespace vessaro::ffmpeg {

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const;
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const;
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const;
};
// An output context whose AVIOContext is owned separately (custom IO).
struct OutputContextDeleter {
    void operator()(AVFormatContext* context) const;
};
// Frees the buffer the IO context holds now (FFmpeg may have replaced it), then the context.
struct IOContextDeleter {
    void operator()(AVIOContext* context) const;
};
// A buffer from av_malloc, until an IO context takes it over.
struct BufferDeleter {
    void operator()(unsigned char* buffer) const;
};
// An input context opened with avformat_open_input.
struct InputContextDeleter {
    void operator()(AVFormatContext* context) const;
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using IOContextPtr = std::unique_ptr<AVIOContext, IOContextDeleter>;
using BufferPtr = std::unique_ptr<unsigned char, BufferDeleter>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;

} // namespace vessaro::ffmpeg
