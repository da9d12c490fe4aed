#include "media/Mp4FileIo.h"

#include <cerrno>

#include <unistd.h>

namespace vessaro::mp4 {

int readAt(int fd, std::int64_t offset, std::uint8_t* data, std::size_t size)
{
    for (std::size_t done = 0; done < size;) {
        const ssize_t got = ::pread(fd, data + done, size - done, off_t(offset) + off_t(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            return ENODATA;
        done += std::size_t(got);
    }
    return 0;
}

int writeAt(int fd, std::int64_t offset, const Bytes& bytes)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t put = ::pwrite(fd, bytes.data() + done, bytes.size() - done, off_t(offset) + off_t(done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return put < 0 ? errno : EIO;
        done += std::size_t(put);
    }
    return 0;
}
int syncData(int fd)
{
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}
int truncateTo(int fd, std::int64_t size)
{
    while (::ftruncate(fd, off_t(size)) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

RecorderError nothingWhole()
{
    return RecorderError::invalidOutput(QStringLiteral("录音文件中没有完整的音频。"));
}
PlatformError readError(int error)
{
    return PlatformError::fromErrno(error, QStringLiteral("无法读取录音文件"));
}
PlatformError writeError(int error)
{
    return PlatformError::fromErrno(error, QStringLiteral("无法写入录音文件的索引"));
}

} // namespace vessaro::mp4
