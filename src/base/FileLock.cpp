#include "base/FileLock.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace vessaro {

namespace {

// 0 when locked, or an errno (EWOULDBLOCK when another holder has it).
int lockExclusively(int fd)
{
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno != EINTR)
            return errno;
    }
}

} // namespace

Result<FileLock> FileLock::createNew(const QString& path)
{
    FileDescriptor file(::open(
        QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR));
    if (!file.isOpen())
        return PlatformError::fromErrno(errno, QStringLiteral("无法创建文件 %1").arg(path));
    if (const int error = lockExclusively(file.get()); error != 0)
        return PlatformError::fromErrno(error, QStringLiteral("无法锁定文件 %1").arg(path));
    return FileLock(std::move(file));
}

Result<std::optional<FileLock>> FileLock::tryToLock(const QString& path)
{
    FileDescriptor file(::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!file.isOpen())
        return PlatformError::fromErrno(errno, QStringLiteral("无法打开文件 %1").arg(path));
    struct stat info { };
    if (::fstat(file.get(), &info) != 0)
        return PlatformError::fromErrno(errno, QStringLiteral("无法读取文件 %1").arg(path));
    if (!S_ISREG(info.st_mode))
        return PlatformError::fromErrno(EINVAL, QStringLiteral("不是普通文件 %1").arg(path));
    const int error = lockExclusively(file.get());
    if (error == EWOULDBLOCK)
        return std::optional<FileLock>();
    if (error != 0)
        return PlatformError::fromErrno(error, QStringLiteral("无法锁定文件 %1").arg(path));
    return std::optional<FileLock>(FileLock(std::move(file)));
}

} // namespace vessaro
