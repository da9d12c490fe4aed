#include "media/FragmentSyncer.h"

#include "media/Mp4FileIo.h"

namespace vessaro {

FragmentSyncer::FragmentSyncer(int fd, std::int64_t syncedEnd)
    : m_fd(fd)
    , m_requested(syncedEnd)
    , m_synced(syncedEnd)
    , m_thread([this] { run(); })
{ }

FragmentSyncer::~FragmentSyncer()
{
    (void)stop(false);
}

void FragmentSyncer::request(std::int64_t end)
{
    {
        const std::lock_guard lock(m_mutex);
        if (end <= m_requested)
            return;
        m_requested = end;
    }
    m_wake.notify_one();
}

std::int64_t FragmentSyncer::syncedEnd() const
{
    const std::lock_guard lock(m_mutex);
    return m_synced;
}

int FragmentSyncer::error() const
{
    const std::lock_guard lock(m_mutex);
    return m_error;
}

int FragmentSyncer::stop(bool completing)
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_completing = completing;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
    return error();
}

void FragmentSyncer::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || m_requested > m_synced; });
        if (m_error != 0 || m_requested <= m_synced || (m_stopping && !m_completing))
            return;
        const std::int64_t end = m_requested;
        lock.unlock();
        // fdatasync covers every byte written before it, whoever wrote them.
        const int error = mp4::syncData(m_fd);
        lock.lock();
        if (error != 0)
            m_error = error;
        else
            m_synced = end;
    }
}

} // namespace vessaro
