#pragma once

#include "base/FileDescriptor.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

namespace vessaro::fuzz {

// A file that lives in memory (memfd), rewritten with each fuzz input: no disk traffic, and nothing
// left behind when a run is killed. Reachable by descriptor and, for code that opens paths, under
// /proc/self/fd. One thread.
class MemoryFile {
public:
    // Aborts when the kernel refuses, since a half-written input would make the run meaningless.
    void replace(const std::uint8_t* data, std::size_t size)
    {
        if (!m_fd.isOpen() || ::ftruncate(fd(), 0) != 0 || ::pwrite(fd(), data, size, 0) != ssize_t(size))
            std::abort();
    }
    int fd() const { return m_fd.get(); }
    QString path() const { return QStringLiteral("/proc/self/fd/") + QString::number(fd()); }

private:
    FileDescriptor m_fd { ::memfd_create("fuzz-input.mp4", MFD_CLOEXEC) };
};

} // namespace vessaro::fuzz
