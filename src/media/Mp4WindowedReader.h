#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vessaro::mp4 {

// Reads through a small window: a moof and the header of the mdat after it
// come in one pread, which keeps finishing an hour-long take quick. One
// thread at a time.
class WindowedReader {
public:
    WindowedReader(int fd, std::int64_t fileBytes)
        : m_fd(fd)
        , m_fileBytes(fileBytes)
    { }
    // 0, an errno, or ENODATA when the file ends first.
    int read(std::int64_t offset, std::uint8_t* data, std::size_t size);

private:
    int m_fd;
    std::int64_t m_fileBytes;
    std::array<std::uint8_t, 4096> m_window {};
    std::int64_t m_windowAt = -1;
    std::int64_t m_windowBytes = 0;
};

} // namespace vessaro::mp4
