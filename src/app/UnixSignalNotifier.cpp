#include "app/UnixSignalNotifier.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vessaro {
namespace {

// The write end of the live notifier's pipe, or -1. Lock-free, so the handler
// may read it.
std::atomic<int> g_writeEnd { -1 };
static_assert(std::atomic<int>::is_always_lock_free);

} // namespace

UnixSignalNotifier::UnixSignalNotifier(std::initializer_list<int> signalNumbers, QObject* parent)
    : QObject(parent)
{
    std::array<int, 2> ends { -1, -1 };
    if (::pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_readEnd = FileDescriptor(ends[0]);
    m_writeEnd = FileDescriptor(ends[1]);
    int expected = -1;
    if (!g_writeEnd.compare_exchange_strong(expected, m_writeEnd.get()))
        return; // another notifier owns the handlers

    m_notifier = new QSocketNotifier(
        m_readEnd.get(), QSocketNotifier::Read, this); // NOLINT(cppcoreguidelines-owning-memory): owned by this
    connect(m_notifier, &QSocketNotifier::activated, this, &UnixSignalNotifier::readPending);

    m_active = true;
    for (const int signalNumber : signalNumbers) {
        struct sigaction action { };
        action.sa_handler = &UnixSignalNotifier::handle;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        struct sigaction previous { };
        if (::sigaction(signalNumber, &action, &previous) == 0)
            m_previous.emplace_back(signalNumber, previous);
        else
            m_active = false;
    }
}

UnixSignalNotifier::~UnixSignalNotifier()
{
    for (auto it = m_previous.rbegin(); it != m_previous.rend(); ++it)
        ::sigaction(it->first, &it->second, nullptr);
    int ours = m_writeEnd.get();
    g_writeEnd.compare_exchange_strong(ours, -1);
}

void UnixSignalNotifier::handle(int signalNumber)
{
    // Async-signal-safe only: errno is restored, and a full pipe drops the
    // byte (the signals already queued say the same thing).
    const int savedErrno = errno;
    const int fd = g_writeEnd.load();
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signalNumber);
        (void)!::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

void UnixSignalNotifier::readPending()
{
    unsigned char byte = 0;
    while (::read(m_readEnd.get(), &byte, 1) == 1)
        Q_EMIT received(byte);
}

} // namespace vessaro
