#pragma once

#include <QDir>
#include <QFile>
#include <QString>

#include <sys/mount.h>

namespace vessaro::test {

// A tmpfs mounted at `path` (created if missing) for the lifetime of the object: another file system, a small
// disk or a read-only one. Mounting needs root; isMounted() says whether it worked. Test thread only.
class ScopedTmpfs {
public:
    enum class Access { readWrite, readOnly };

    ScopedTmpfs(const QString& path, Access access, const char* options = "size=1m")
        : m_path(QFile::encodeName(path))
    {
        QDir().mkpath(path);
        const unsigned long flags = access == Access::readOnly ? static_cast<unsigned long>(MS_RDONLY) : 0UL;
        m_mounted = ::mount("tmpfs", m_path.constData(), "tmpfs", flags, options) == 0;
    }
    ~ScopedTmpfs()
    {
        if (m_mounted)
            ::umount2(m_path.constData(), MNT_DETACH);
    }
    ScopedTmpfs(const ScopedTmpfs&) = delete;
    ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;

    bool isMounted() const { return m_mounted; }

private:
    QByteArray m_path;
    bool m_mounted = false;
};

} // namespace vessaro::test
