#include "media/Mp4WindowedReader.h"

#include "media/Mp4FileIo.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vessaro::mp4 {

int WindowedReader::read(std::int64_t offset, std::uint8_t* data, std::size_t size)
{
    if (size > m_window.size())
        return readAt(m_fd, offset, data, size);
    if (m_windowAt < 0 || offset < m_windowAt || offset + std::int64_t(size) > m_windowAt + m_windowBytes) {
        const std::int64_t wanted = std::min(std::int64_t(m_window.size()), m_fileBytes - offset);
        if (wanted < std::int64_t(size))
            return ENODATA;
        if (const int error = readAt(m_fd, offset, m_window.data(), std::size_t(wanted)); error != 0)
            return error;
        m_windowAt = offset;
        m_windowBytes = wanted;
    }
    std::memcpy(data, m_window.data() + (offset - m_windowAt), size);
    return 0;
}

} // namespace vessaro::mp4
