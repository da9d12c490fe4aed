#include "base/Platform.h"

#include "base/FileDescriptor.h"
#include "base/FileLock.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QUuid>

#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vessaro::Platform {

QString quoted(const QString& path)
{
    return QStringLiteral("“") + path + QStringLiteral("”");
}

namespace {

QString cacheHome()
{
    const QString xdg = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return QDir::cleanPath(xdg);
    QString home = qEnvironmentVariable("HOME");
    if (home.isEmpty()) {
        passwd entry {};
        passwd* found = nullptr;
        std::array<char, 4096> buffer {};
        if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
            home = QString::fromLocal8Bit(found->pw_dir);
    }
    return QDir::cleanPath(home + QStringLiteral("/.cache"));
}

// Closes a POSIX descriptor when it goes out of scope.
Result<void> writeAll(int fd, const char* data, size_t size, const QString& path)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return PlatformError::fromErrno(errno, QStringLiteral("无法写入") + quoted(path));
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return {};
}

Result<void> syncAndClose(FileDescriptor& fd, const QString& path)
{
    if (::fsync(fd.get()) != 0 || fd.close() != 0)
        return PlatformError::fromErrno(errno, QStringLiteral("无法写入") + quoted(path));
    return {};
}

// Copies into a new file at `destination`; messages about it name `shown`,
// which differs when the copy is written under a staging name. A staging copy
// is locked while it is written, so that another export's sweep of stale ones
// leaves it be.
Result<void> copyBytes(const QString& source, const QString& destination, const QString& shown, bool staging = false)
{
    FileDescriptor in(::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        return PlatformError::fromErrno(errno, QStringLiteral("无法读取") + quoted(source));
    // 0666 here is narrowed by the umask: the mode of any new file of the user's.
    FileDescriptor out(
        ::open(QFile::encodeName(destination).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (out.get() < 0)
        return PlatformError::fromErrno(errno, QStringLiteral("无法创建") + quoted(shown));
    if (staging) {
        // A sweep that locked it in the instant before us has unlinked it. Where
        // the file system has no locks, no sweep can take it either.
        struct stat info { };
        while (::flock(out.get(), LOCK_EX) != 0 && errno == EINTR) { }
        if (::fstat(out.get(), &info) == 0 && info.st_nlink == 0)
            return PlatformError::fromErrno(ENOENT, QStringLiteral("无法创建") + quoted(shown));
    }
    std::array<char, 1 << 16> chunk {};
    for (;;) {
        const ssize_t got = ::read(in.get(), chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            ::unlink(QFile::encodeName(destination).constData());
            return PlatformError::fromErrno(error, QStringLiteral("无法读取") + quoted(source));
        }
        if (got == 0)
            break;
        if (auto written = writeAll(out.get(), chunk.data(), static_cast<size_t>(got), shown); !written) {
            ::unlink(QFile::encodeName(destination).constData());
            return written;
        }
    }
    if (auto synced = syncAndClose(out, shown); !synced) {
        ::unlink(QFile::encodeName(destination).constData());
        return synced;
    }
    return {};
}

// Removes the staging copies of exports to `target` that no running export
// holds: a crash mid-copy leaves them. Only names of exactly our staging form
// are touched.
void removeStaleStagingCopies(const QFileInfo& target)
{
    const QRegularExpression ours(QStringLiteral("^\\.") + QRegularExpression::escape(target.fileName())
        + QStringLiteral("\\.[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.part$"));
    const QDir folder = target.absoluteDir();
    for (const QString& name :
        folder.entryList({ QStringLiteral(".*.part") }, QDir::Files | QDir::Hidden | QDir::NoSymLinks)) {
        if (!ours.match(name).hasMatch())
            continue;
        auto lock = FileLock::tryToLock(folder.filePath(name));
        if (lock && lock.value())
            ::unlink(QFile::encodeName(folder.filePath(name)).constData());
    }
}

// The hidden name an export to `target` is written under before it is renamed.
QString stagingPath(const QFileInfo& target)
{
    return target.absolutePath() + QStringLiteral("/.") + target.fileName() + QStringLiteral(".") + uuidString()
        + QStringLiteral(".part");
}

// Renames a synced staging file over `target`, then syncs the folder.
Result<void> renameIntoPlace(const QString& staging, const QFileInfo& target)
{
    const QString destination = target.filePath();
    if (::rename(QFile::encodeName(staging).constData(), QFile::encodeName(destination).constData()) != 0) {
        const int error = errno;
        ::unlink(QFile::encodeName(staging).constData());
        return PlatformError::fromErrno(error, QStringLiteral("无法替换") + quoted(destination));
    }
    // The new name survives a power cut only once the folder is on disk. EINVAL:
    // a file system that cannot sync a folder, where there is nothing more to do.
    FileDescriptor folder(
        ::open(QFile::encodeName(target.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isOpen() || (::fsync(folder.get()) != 0 && errno != EINVAL))
        return PlatformError::fromErrno(errno, QStringLiteral("无法写入") + quoted(destination));
    return {};
}

} // namespace

Result<QString> temporaryDirectory()
{
    const QString base = cacheHome();
    if (auto made = createDirectory(base, DirectoryAccess::userOnly); !made)
        return made.error();
    const QString directory = base + QStringLiteral("/vessaro");
    const QByteArray native = QFile::encodeName(directory);
    if (::mkdir(native.constData(), 0700) == 0) {
        ::chmod(native.constData(), 0700); // in case the umask took bits we need
    } else if (errno != EEXIST) {
        return PlatformError::fromErrno(errno, QStringLiteral("无法创建临时文件夹") + quoted(directory));
    }
    struct stat info { };
    if (::lstat(native.constData(), &info) != 0)
        return PlatformError::fromErrno(errno, QStringLiteral("无法读取临时文件夹") + quoted(directory));
    if (!S_ISDIR(info.st_mode))
        return PlatformError::fromErrno(
            ENOTDIR, QStringLiteral("临时文件夹") + quoted(directory) + QStringLiteral("不是真实的文件夹"));
    if (info.st_uid != ::geteuid() || (info.st_mode & 07777) != 0700)
        return PlatformError::fromErrno(
            EACCES, QStringLiteral("临时文件夹") + quoted(directory) + QStringLiteral("不是本用户私有的"));
    return directory;
}

bool isInsideDirectory(const QString& path, const QString& directory)
{
    if (path.isEmpty() || directory.isEmpty())
        return false;
    const QStringList inner = QDir::cleanPath(path).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const QStringList outer = QDir::cleanPath(directory).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (!QDir::isAbsolutePath(path) || inner.size() <= outer.size())
        return false;
    for (qsizetype i = 0; i < outer.size(); ++i) {
        if (inner.at(i) != outer.at(i))
            return false;
    }
    return true;
}

bool isInsideTemporaryDirectory(const QString& path)
{
    // The path is computed, never created here: the rule must not touch the disk.
    return isInsideDirectory(path, cacheHome() + QStringLiteral("/vessaro"));
}

Result<void> createDirectory(const QString& path, DirectoryAccess access)
{
    const mode_t mode = access == DirectoryAccess::userOnly ? 0700 : 0777;
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    const QStringList parts = clean.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString current;
    for (const QString& part : parts) {
        current += QLatin1Char('/') + part;
        const QByteArray native = QFile::encodeName(current);
        if (::mkdir(native.constData(), mode) == 0)
            continue;
        const int error = errno;
        struct stat info { };
        if (error == EEXIST && ::stat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode))
            continue;
        return PlatformError::fromErrno(
            error == EEXIST ? ENOTDIR : error, QStringLiteral("无法创建文件夹") + quoted(current));
    }
    return {};
}

bool fileExists(const QString& path)
{
    struct stat info { };
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

bool isSameFile(const QString& first, const QString& second)
{
    struct stat a { };
    struct stat b { };
    return ::stat(QFile::encodeName(first).constData(), &a) == 0
        && ::stat(QFile::encodeName(second).constData(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

Result<void> removeItem(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info { };
    if (::lstat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode)) {
        if (!QDir(path).removeRecursively())
            return PlatformError::fromErrno(EACCES, QStringLiteral("无法删除") + quoted(path));
        return {};
    }
    if (::unlink(native.constData()) != 0)
        return PlatformError::fromErrno(errno, QStringLiteral("无法删除") + quoted(path));
    return {};
}

Result<void> copyFile(const QString& source, const QString& destination)
{
    return copyBytes(source, destination, destination);
}

Result<void> moveItem(const QString& source, const QString& destination)
{
    if (fileExists(destination))
        return PlatformError::fromErrno(EEXIST, QStringLiteral("无法移动到") + quoted(destination));
    if (::rename(QFile::encodeName(source).constData(), QFile::encodeName(destination).constData()) == 0)
        return {};
    if (errno != EXDEV)
        return PlatformError::fromErrno(errno, QStringLiteral("无法移动") + quoted(source));
    // Another file system: copy, then remove the original.
    if (auto copied = copyFile(source, destination); !copied)
        return copied;
    return removeItem(source);
}

Result<void> replaceFile(const QString& source, const QString& destination)
{
    const QFileInfo target(destination);
    const QString staging = stagingPath(target);
    removeStaleStagingCopies(target);
    if (auto copied = copyBytes(source, staging, destination, true); !copied)
        return copied;
    return renameIntoPlace(staging, target);
}

Result<void> replaceFileWith(const QString& destination, const std::function<Result<void>(const QString&)>& write)
{
    const QFileInfo target(destination);
    const QString staging = stagingPath(target);
    removeStaleStagingCopies(target);
    const QByteArray native = QFile::encodeName(staging);
    // Locked until renamed, like a staging copy, so that no sweep takes it.
    FileDescriptor file(::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file.get() < 0)
        return PlatformError::fromErrno(errno, QStringLiteral("无法创建") + quoted(destination));
    while (::flock(file.get(), LOCK_EX) != 0 && errno == EINTR) { }
    Result<void> written = write(staging);
    if (written && ::fsync(file.get()) != 0)
        written = PlatformError::fromErrno(errno, QStringLiteral("无法写入") + quoted(destination));
    if (!written) {
        ::unlink(native.constData());
        return written;
    }
    return renameIntoPlace(staging, target);
}

Result<std::optional<qint64>> fileSize(const QString& path)
{
    struct stat info { };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return PlatformError::fromErrno(errno, QStringLiteral("无法读取") + quoted(path));
    if (!S_ISREG(info.st_mode))
        return std::optional<qint64>();
    return std::optional<qint64>(static_cast<qint64>(info.st_size));
}

Result<void> writeAtomically(const QByteArray& bytes, const QString& path)
{
    const QString temporary = path + QStringLiteral(".") + uuidString() + QStringLiteral(".tmp");
    const QByteArray nativeTemporary = QFile::encodeName(temporary);
    FileDescriptor out(::open(nativeTemporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (out.get() < 0)
        return PlatformError::fromErrno(errno, QStringLiteral("无法写入") + quoted(path));
    auto written = writeAll(out.get(), bytes.constData(), static_cast<size_t>(bytes.size()), path);
    if (written)
        written = syncAndClose(out, path);
    if (written && ::rename(nativeTemporary.constData(), QFile::encodeName(path).constData()) != 0)
        written = PlatformError::fromErrno(errno, QStringLiteral("无法写入") + quoted(path));
    if (!written)
        ::unlink(nativeTemporary.constData());
    return written;
}

QString uuidString()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

DateComponents dateComponents(const QDateTime& instant, const QCalendar& calendar, const QTimeZone& zone)
{
    DateComponents components;
    if (!instant.isValid())
        return components;
    const QDateTime local = zone.isValid() ? instant.toTimeZone(zone) : instant;
    if (calendar.isValid()) {
        const QCalendar::YearMonthDay parts = calendar.partsFromDate(local.date());
        if (parts.isValid()) {
            components.year = parts.year;
            components.month = parts.month;
            components.day = parts.day;
        }
    }
    const QTime time = local.time();
    components.hour = time.hour();
    components.minute = time.minute();
    components.second = time.second();
    return components;
}

QByteArray sortedPrettyJson(const QJsonObject& object)
{
    // QJsonObject keeps its keys sorted, and doubles are written in the
    // shortest form that reads back as the same value.
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

void logLine(const QString& line)
{
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace vessaro::Platform
