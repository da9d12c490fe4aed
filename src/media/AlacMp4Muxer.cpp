#include "media/AlacMp4Muxer.h"

#include "media/FfmpegError.h"
#include "media/Mp4FileIo.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vessaro {

namespace {
constexpr int kIOBufferBytes = 64 * 1024;
// Fragments only when asked (audio alone has no key frames to cut at), the
// samples' offsets relative to their moof, and no mfra index at the end: the
// file is made ordinary instead.
constexpr const char* kFragmentedLayout = "frag_custom+empty_moov+default_base_moof+skip_trailer";
} // namespace

Result<std::unique_ptr<AlacMp4Muxer>> AlacMp4Muxer::create(const QString& path, Access access)
{
    const QByteArray nativePath = path.toLocal8Bit();
    // Read and write: finishing reads the fragment headers back.
    FileDescriptor file(::open(nativePath.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (!file.isOpen())
        return PlatformError::fromErrno(errno, QStringLiteral("无法创建文件 %1").arg(path));
    // An existing file keeps its mode through O_TRUNC, so a recording is made private here.
    if (access == Access::userOnly && ::fchmod(file.get(), S_IRUSR | S_IWUSR) != 0)
        return PlatformError::fromErrno(errno, QStringLiteral("无法设置文件权限 %1").arg(path));

    AVFormatContext* rawFormat = nullptr;
    int result = avformat_alloc_output_context2(&rawFormat, nullptr, "mp4", nativePath.constData());
    ffmpeg::OutputContextPtr format(rawFormat);
    if (result >= 0 && format)
        result = av_opt_set(format->priv_data, "movflags", kFragmentedLayout, 0);
    if (result < 0 || !format)
        return FfmpegError::platformError(result < 0 ? result : AVERROR(ENOMEM), QStringLiteral("无法创建 MP4 封装"));

    ffmpeg::BufferPtr buffer(static_cast<unsigned char*>(av_malloc(kIOBufferBytes)));
    if (!buffer)
        return FfmpegError::platformError(AVERROR(ENOMEM), QStringLiteral("无法创建 MP4 封装"));
    // The opaque pointer is set once the muxer exists (below); nothing is written before.
    ffmpeg::IOContextPtr io(avio_alloc_context(
        buffer.get(), kIOBufferBytes, 1, nullptr, nullptr, &AlacMp4Muxer::writeToFile, &AlacMp4Muxer::seekInFile));
    if (!io)
        return FfmpegError::platformError(AVERROR(ENOMEM), QStringLiteral("无法创建 MP4 封装"));
    (void)buffer.release(); // the IO context's now
    return std::make_unique<AlacMp4Muxer>(std::move(file), std::move(io), std::move(format));
}

AlacMp4Muxer::AlacMp4Muxer(FileDescriptor file, ffmpeg::IOContextPtr io, ffmpeg::OutputContextPtr format)
    : m_file(std::move(file))
    , m_io(std::move(io))
    , m_format(std::move(format))
{
    m_io->opaque = this;
    m_format->pb = m_io.get();
    m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
}

AlacMp4Muxer::~AlacMp4Muxer()
{
    // Frees memory and the descriptor only: an unfinished file stays as it is.
    // The order is the one FfmpegHandles.h gives; the syncer goes before the
    // descriptor it syncs.
    m_syncer.reset();
    m_format->pb = nullptr;
    m_format.reset();
    m_io.reset();
    (void)m_file.close();
}

int AlacMp4Muxer::writeHeader(const AVCodecContext& encoder)
{
    m_stream = avformat_new_stream(m_format.get(), nullptr);
    if (!m_stream)
        return AVERROR(ENOMEM);
    int result = avcodec_parameters_from_context(m_stream->codecpar, &encoder);
    if (result < 0)
        return result;
    m_stream->codecpar->codec_tag = 0; // the muxer picks the sample entry
    m_sampleTimeBase = AVRational { 1, encoder.sample_rate };
    m_stream->time_base = m_sampleTimeBase;
    result = avformat_write_header(m_format.get(), nullptr);
    if (result < 0)
        return result;
    m_headerWritten = true;
    result = flushToDisk();
    m_headerBytes = m_fragmentsEnd = avio_tell(m_io.get());
    if (result >= 0)
        m_syncer = std::make_unique<FragmentSyncer>(m_file.get(), m_headerBytes);
    return result;
}

int AlacMp4Muxer::writePacket(AVPacket& packet)
{
    packet.stream_index = m_stream->index;
    av_packet_rescale_ts(&packet, m_sampleTimeBase, m_stream->time_base);
    if (packet.size <= 0 || packet.duration <= 0 || packet.duration > std::numeric_limits<std::uint32_t>::max())
        m_indexUsable = false;
    m_queuedSizes.push_back(static_cast<std::uint32_t>(packet.size));
    m_queuedDurations.push_back(static_cast<std::uint32_t>(packet.duration));
    return av_write_frame(m_format.get(), &packet);
}

int AlacMp4Muxer::closeFragment()
{
    if (!m_headerWritten || !m_syncer)
        return AVERROR(EINVAL);
    if (const int error = m_syncer->error(); error != 0)
        return AVERROR(error);
    // A null packet asks the muxer to write what it holds as one fragment.
    int result = av_write_frame(m_format.get(), nullptr);
    if (result >= 0) {
        avio_flush(m_io.get());
        result = m_io->error;
    }
    if (result < 0)
        return result;
    indexWrittenFragment();
    m_syncer->request(avio_tell(m_io.get()));
    return 0;
}

void AlacMp4Muxer::indexWrittenFragment()
{
    if (m_queuedSizes.empty())
        return;
    const std::int64_t end = avio_tell(m_io.get());
    std::int64_t bytes = 0;
    for (const std::uint32_t size : m_queuedSizes)
        bytes += size;
    // The muxer's layout: moof, an 8-byte mdat header, the packets in order.
    const std::int64_t dataStart = end - bytes;
    std::array<std::uint8_t, 8> header {};
    const auto mdatBytes = static_cast<std::uint64_t>(bytes + 8);
    const std::array<std::uint8_t, 8> expected { std::uint8_t(mdatBytes >> 24), std::uint8_t(mdatBytes >> 16),
        std::uint8_t(mdatBytes >> 8), std::uint8_t(mdatBytes), 'm', 'd', 'a', 't' };
    if (mdatBytes > std::numeric_limits<std::uint32_t>::max() || dataStart - 8 <= m_fragmentsEnd
        || ::pread(m_file.get(), header.data(), header.size(), dataStart - 8) != std::int64_t(header.size())
        || header != expected)
        m_indexUsable = false;
    if (m_indexUsable) {
        m_index.chunks.push_back({ dataStart, static_cast<std::uint32_t>(m_queuedSizes.size()) });
        m_index.sizes.insert(m_index.sizes.end(), m_queuedSizes.begin(), m_queuedSizes.end());
        m_index.durations.insert(m_index.durations.end(), m_queuedDurations.begin(), m_queuedDurations.end());
        for (const std::uint32_t duration : m_queuedDurations)
            m_index.duration += duration;
    }
    m_queuedSizes.clear();
    m_queuedDurations.clear();
    m_fragmentsEnd = end;
}

Result<Mp4Flattener::Report> AlacMp4Muxer::finish()
{
    if (!m_headerWritten || !m_file.isOpen() || !m_syncer)
        return FfmpegError::platformError(AVERROR(EINVAL), QStringLiteral("写入文件失败"));
    m_headerWritten = false;
    // The conversion starts from fragments that are all on the disk.
    if (const int error = m_syncer->stop(true); error != 0)
        return PlatformError::fromErrno(error, QStringLiteral("写入文件失败"));
    // In fragmented mode the trailer is the last fragment and nothing else.
    int result = av_write_trailer(m_format.get());
    if (result >= 0)
        result = flushToDisk();
    if (result < 0)
        return FfmpegError::platformError(result, QStringLiteral("写入文件失败"));
    indexWrittenFragment();
    auto report = m_indexUsable ? Mp4Flattener::flattenWritten(m_file.get(), m_headerBytes, m_fragmentsEnd, m_index)
                                : Mp4Flattener::flatten(m_file.get());
    if (!report)
        return report; // the file stays open for salvage()
    // The audio was synced before the conversion: an error that close()
    // reports late (NFS, quotas) is one of the conversion, not of the take.
    if (const int error = m_file.close(); error != 0 && !report.value().conversionError)
        report.value().conversionError = PlatformError::fromErrno(error, QStringLiteral("写入文件失败"));
    return report;
}

Result<Mp4Flattener::Report> AlacMp4Muxer::salvage()
{
    // No trailer: the muxer may be mid-fragment. What it holds in memory is
    // lost with it; what reached the file is judged fragment by fragment.
    m_headerWritten = false;
    if (!m_file.isOpen())
        return PlatformError::fromErrno(EBADF, QStringLiteral("写入文件失败"));
    if (m_syncer) {
        // Only what is proven on the disk is kept. Once a sync has failed,
        // none after it proves anything: cut the file where the last good one
        // ended, so that no fragment is claimed that may not be there.
        int error = m_syncer->stop(true);
        if (error == 0)
            error = mp4::syncData(m_file.get());
        if (error != 0) {
            if (const int cut = mp4::truncateTo(m_file.get(), m_syncer->syncedEnd()); cut != 0)
                return PlatformError::fromErrno(cut, QStringLiteral("写入文件失败"));
        }
    }
    auto kept = Mp4Flattener::flatten(m_file.get());
    (void)m_file.close();
    return kept;
}

void AlacMp4Muxer::abandon()
{
    m_headerWritten = false;
    if (m_syncer)
        (void)m_syncer->stop(false);
    (void)m_file.close();
}

int AlacMp4Muxer::flushToDisk()
{
    avio_flush(m_io.get());
    if (m_io->error < 0)
        return m_io->error;
    while (::fdatasync(m_file.get()) != 0) {
        if (errno != EINTR)
            return AVERROR(errno);
    }
    return 0;
}

int AlacMp4Muxer::writeToFile(void* opaque, std::uint8_t* data, int size)
{
    auto* self = static_cast<AlacMp4Muxer*>(opaque);
    const int fd = self->m_file.get();
    if (fd < 0)
        return AVERROR(EBADF);
    int written = 0;
    while (written < size) {
        const ssize_t result = ::write(fd, data + written, static_cast<std::size_t>(size - written));
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
    const int fd = self->m_file.get();
    if (fd < 0)
        return AVERROR(EBADF);
    if (whence & AVSEEK_SIZE) {
        struct stat info { };
        if (::fstat(fd, &info) != 0)
            return AVERROR(errno);
        return info.st_size;
    }
    const off_t result = ::lseek(fd, offset, whence & ~AVSEEK_FORCE);
    return result < 0 ? AVERROR(errno) : result;
}

} // namespace vessaro
