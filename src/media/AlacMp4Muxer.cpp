#include "media/AlacMp4Muxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/mem.h>
}

#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vessaro {

namespace {
constexpr int kIOBufferBytes = 64 * 1024;
}

Result<std::unique_ptr<AlacMp4Muxer>> AlacMp4Muxer::create(const QString& path)
{
    const QByteArray nativePath = path.toLocal8Bit();
    const int fd = ::open(nativePath.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return PlatformError::fromErrno(errno, QStringLiteral("无法创建文件 %1").arg(path));
    // An existing file keeps its mode through O_TRUNC; the recording is private either way.
    if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        const int error = errno;
        ::close(fd);
        return PlatformError::fromErrno(error, QStringLiteral("无法设置文件权限 %1").arg(path));
    }

    AVFormatContext* rawFormat = nullptr;
    int result = avformat_alloc_output_context2(&rawFormat, nullptr, "mp4", nativePath.constData());
    ffmpeg::OutputContextPtr format(rawFormat);
    if (result < 0 || !format) {
        ::close(fd);
        return PlatformError::fromAvError(result < 0 ? result : AVERROR(ENOMEM), QStringLiteral("无法创建 MP4 封装"));
    }

    auto* buffer = static_cast<unsigned char*>(av_malloc(kIOBufferBytes));
    if (!buffer) {
        ::close(fd);
        return PlatformError::fromAvError(AVERROR(ENOMEM), QStringLiteral("无法创建 MP4 封装"));
    }
    // The opaque pointer is set once the muxer exists (below); nothing is written before.
    ffmpeg::IOContextPtr io(avio_alloc_context(buffer, kIOBufferBytes, 1, nullptr, nullptr,
                                               &AlacMp4Muxer::writeToFile, &AlacMp4Muxer::seekInFile));
    if (!io) {
        av_free(buffer);
        ::close(fd);
        return PlatformError::fromAvError(AVERROR(ENOMEM), QStringLiteral("无法创建 MP4 封装"));
    }
    return std::make_unique<AlacMp4Muxer>(fd, std::move(io), std::move(format));
}

AlacMp4Muxer::AlacMp4Muxer(int fd, ffmpeg::IOContextPtr io, ffmpeg::OutputContextPtr format)
    : m_fd(fd), m_io(std::move(io)), m_format(std::move(format))
{
    m_io->opaque = this;
    m_format->pb = m_io.get();
    m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
}

AlacMp4Muxer::~AlacMp4Muxer()
{
    // Frees memory and the descriptor only: an unfinished file stays as it is.
    // FFmpeg's order: the IO context first, then the format context.
    m_format->pb = nullptr;
    m_io.reset();
    m_format.reset();
    closeFile();
}

int AlacMp4Muxer::writeHeader(const AVCodecContext& encoder)
{
    m_stream = avformat_new_stream(m_format.get(), nullptr);
    if (!m_stream)
        return AVERROR(ENOMEM);
    int result = avcodec_parameters_from_context(m_stream->codecpar, &encoder);
    if (result < 0)
        return result;
    m_stream->codecpar->codec_tag = 0;  // the muxer picks the sample entry
    m_sampleTimeBase = AVRational{1, encoder.sample_rate};
    m_stream->time_base = m_sampleTimeBase;
    result = avformat_write_header(m_format.get(), nullptr);
    if (result < 0)
        return result;
    m_headerWritten = true;
    return 0;
}

int AlacMp4Muxer::writePacket(AVPacket& packet)
{
    packet.stream_index = m_stream->index;
    av_packet_rescale_ts(&packet, m_sampleTimeBase, m_stream->time_base);
    return av_write_frame(m_format.get(), &packet);
}

int AlacMp4Muxer::finish()
{
    int first = 0;
    if (m_headerWritten) {
        first = av_write_trailer(m_format.get());
        m_headerWritten = false;
    }
    if (m_fd >= 0) {
        avio_flush(m_io.get());
        if (first == 0 && m_io->error < 0)
            first = m_io->error;
    }
    const int closed = closeFile();
    return first != 0 ? first : closed;
}

void AlacMp4Muxer::abandon()
{
    m_headerWritten = false;
    closeFile();
}

int AlacMp4Muxer::closeFile()
{
    if (m_fd < 0)
        return 0;
    const int result = ::close(m_fd);
    m_fd = -1;
    // close() reports delayed write errors (NFS, quota); EINTR still closed the descriptor.
    return result != 0 && errno != EINTR ? AVERROR(errno) : 0;
}

int AlacMp4Muxer::writeToFile(void* opaque, std::uint8_t* data, int size)
{
    auto* self = static_cast<AlacMp4Muxer*>(opaque);
    if (self->m_fd < 0)
        return AVERROR(EBADF);
    int written = 0;
    while (written < size) {
        const ssize_t result = ::write(self->m_fd, data + written, static_cast<std::size_t>(size - written));
        if (result < 0) {
            if (errno == EINTR)
                continue;
            return AVERROR(errno);
        }
        written += static_cast<int>(result);
    }
    return written;
}

std::int64_t AlacMp4Muxer::seekInFile(void* opaque, std::int64_t offset, int whence)
{
    auto* self = static_cast<AlacMp4Muxer*>(opaque);
    if (self->m_fd < 0)
        return AVERROR(EBADF);
    if (whence & AVSEEK_SIZE) {
        struct stat info {};
        if (::fstat(self->m_fd, &info) != 0)
            return AVERROR(errno);
        return info.st_size;
    }
    const off_t result = ::lseek(self->m_fd, offset, whence & ~AVSEEK_FORCE);
    return result < 0 ? AVERROR(errno) : result;
}

} // namespace vessaro
