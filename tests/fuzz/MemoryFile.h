#pragma once

#include "base/FileDescriptor.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

namespace vessaro::fuzz {

// A file that lives in memory (memfd), rewritten with each fuzz input: no
// disk traffic, and nothing left behind when a run is killed. Reachable by
// descriptor and, for code that opens paths, under /proc/self/fd. One thread.
class MemoryFile {
public:
    MemoryFile() : m_fd(::memfd_create("fuzz-input.mp4", MFD_CLOEXEC))
    {
        if (!m_fd.isOpen())
            std::abort();
    }

    // Replaces the whole content; aborts when the kernel refuses, since a
    // half-written input would make the run meaningless.
    void replace(const std::uint8_t* data, std::size_t size)
    {
        if (::ftruncate(fd(), 0) != 0)
            std::abort();
        for (std::size_t done = 0; done < size;) {
            const ssize_t put = ::pwrite(fd(), data + done, size - done, static_cast<off_t>(done));
            if (put <= 0)
                std::abort();
            done += static_cast<std::size_t>(put);
        }
    }

    int fd() const { return m_fd.get(); }
    QString path() const { return QStringLiteral("/proc/self/fd/") + QString::number(fd()); }

private:
    FileDescriptor m_fd;
};

} // namespace vessaro::fuzz
