#include "MemoryFile.h"

#include <cstdlib>

#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

namespace vessaro::fuzz {

MemoryFile::MemoryFile() : m_fd(::memfd_create("fuzz-input.mp4", MFD_CLOEXEC))
{
    if (!m_fd.isOpen())
        std::abort();
}

void MemoryFile::replace(const std::uint8_t* data, std::size_t size)
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

QString MemoryFile::path() const
{
    return QStringLiteral("/proc/self/fd/") + QString::number(fd());
}

} // namespace vessaro::fuzz
