#include "base/FileDescriptor.h"

#include <cerrno>

#include <unistd.h>

namespace vessaro {

int FileDescriptor::close()
{
    if (m_fd < 0)
        return 0;
    const int result = ::close(std::exchange(m_fd, -1));
    return result != 0 && errno != EINTR ? errno : 0;
}

} // namespace vessaro
