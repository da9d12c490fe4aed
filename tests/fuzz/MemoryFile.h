#pragma once

#include "base/FileDescriptor.h"

#include <QString>

#include <cstddef>
#include <cstdint>

namespace vessaro::fuzz {

// A file that lives in memory (memfd), rewritten with each fuzz input: no
// disk traffic, and nothing left behind when a run is killed. Reachable by
// descriptor and, for code that opens paths, under /proc/self/fd.
class MemoryFile {
public:
    MemoryFile();

    // Replaces the whole content; aborts when the kernel refuses, since a
    // half-written input would make the run meaningless.
    void replace(const std::uint8_t* data, std::size_t size);

    int fd() const { return m_fd.get(); }
    QString path() const;

private:
    FileDescriptor m_fd;
};

} // namespace vessaro::fuzz
