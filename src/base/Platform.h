#pragma once

#include "base/DateComponents.h"
#include "base/Result.h"

#include <QByteArray>
#include <QCalendar>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QTimeZone>

#include <functional>
#include <optional>

// The operating-system services the recorder relies on, behind small functions
// of our own. Every function may be called from any thread except where noted;
// none of them may be called on the audio thread.
namespace vessaro::Platform {

// `path` in the quotation marks our messages put around a file's name.
QString quoted(const QString& path);

// $XDG_CACHE_HOME/vessaro (~/.cache/vessaro by default): on disk, created with
// mode 0700 and checked with lstat on every call. It must be a real directory
// owned by us with mode 0700; anything else is refused and never followed.
Result<QString> temporaryDirectory();

// Whether `path` lies inside the temporary directory, comparing whole path
// components ("/tmp2/x" is not inside "/tmp"). Does not touch the disk.
bool isInsideTemporaryDirectory(const QString& path);
// The same test against an explicit directory.
bool isInsideDirectory(const QString& path, const QString& directory);

enum class DirectoryAccess { userOnly, standard };
// mkdir -p. An existing directory is success. userOnly creates with 0700.
Result<void> createDirectory(const QString& path, DirectoryAccess access = DirectoryAccess::standard);

bool fileExists(const QString& path);
// Whether both paths name one existing file (device and inode, links followed):
// the same path, a symlink, a hard link or a bind mount of it.
bool isSameFile(const QString& first, const QString& second);
Result<void> removeItem(const QString& path);
// A byte copy; fails when the destination exists. The new file gets the mode of
// any new file of the user's (0666 less the umask).
Result<void> copyFile(const QString& source, const QString& destination);
Result<void> moveItem(const QString& source, const QString& destination);
// Puts a byte copy of `source` at `destination`, replacing whatever file is
// there in one step: the copy goes to a hidden name beside the destination and
// is renamed over it, so a failure leaves an existing destination untouched.
// The new file gets the mode of any new file of the user's. Success means the
// copy and its name are on disk; a failure after the rename (the folder could
// not be synced) may leave the new file in place, so keep the source. Removes
// stale hidden copies of earlier exports to the same name that no running
// export holds.
Result<void> replaceFile(const QString& source, const QString& destination);
// As replaceFile, but `write` fills the new file: it is given the hidden name,
// where an empty file of the user's new-file mode already stands (locked
// against the sweep), and it may write it whole anew. After a success it is
// synced and renamed into place; after a failure it is removed and the error
// returned, and the destination stays as it was.
Result<void> replaceFileWith(const QString& destination, const std::function<Result<void>(const QString&)>& write);
// The file's size in bytes, or the file system's error.
Result<std::optional<qint64>> fileSize(const QString& path);
// Replaces `path` as a whole or leaves it untouched.
Result<void> writeAtomically(const QByteArray& bytes, const QString& path);

// 36 upper-case hexadecimal digits and hyphens; new on every call.
QString uuidString();

// Year, month, day, hour (0-23), minute and second of `instant` in `calendar`
// and `zone`.
DateComponents dateComponents(const QDateTime& instant, const QCalendar& calendar, const QTimeZone& zone);

// Pretty-printed JSON, keys sorted, one member per line; doubles read back exactly.
QByteArray sortedPrettyJson(const QJsonObject& object);

// The one log line the program ever writes.
void logLine(const QString& line);

} // namespace vessaro::Platform
