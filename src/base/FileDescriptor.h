#pragma once

#include <utility>

namespace vessaro {

// Owns one open file descriptor and closes it exactly once. Move-only. One
// thread at a time; the object may move between threads.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd)
        : m_fd(fd)
    { }
    ~FileDescriptor() { (void)close(); }
    FileDescriptor(FileDescriptor&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    { }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        if (this != &other) {
            (void)close();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }

    // Closes now: 0, or the errno of close(2), which reports delayed write
    // errors (NFS, quotas). The descriptor is gone either way, even on EINTR.
    int close();

private:
    int m_fd = -1;
};

} // namespace vessaro
