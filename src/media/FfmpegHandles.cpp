#include "media/FfmpegHandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
}

namespace vessaro::ffmpeg {

void CodecContextDeleter::operator()(AVCodecContext* context) const
{
    avcodec_free_context(&context);
}
void FrameDeleter::operator()(AVFrame* frame) const
{
    av_frame_free(&frame);
}
void PacketDeleter::operator()(AVPacket* packet) const
{
    av_packet_free(&packet);
}
void OutputContextDeleter::operator()(AVFormatContext* context) const
{
    avformat_free_context(context);
}

void IOContextDeleter::operator()(AVIOContext* context) const
{
    av_freep(&context->buffer);
    avio_context_free(&context);
}

void BufferDeleter::operator()(unsigned char* buffer) const
{
    av_free(buffer);
}

void InputContextDeleter::operator()(AVFormatContext* context) const
{
    avformat_close_input(&context);
}

} // namespace vessaro::ffmpeg
