#pragma once

// Owners for the FFmpeg handles of the media floor. The deleters are defined
// out of line so that headers need no FFmpeg include. A handle is freed on
// whichever thread owns it last; no two threads use one at the same time.

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
// An output context whose AVIOContext is owned separately (custom IO): free
// the context first, then the IO context.
struct OutputContextDeleter {
    void operator()(AVFormatContext* context) const;
};
// Frees the buffer the IO context holds now (FFmpeg may have replaced it), then the context.
struct IOContextDeleter {
    void operator()(AVIOContext* context) const;
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
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;

} // namespace vessaro::ffmpeg
