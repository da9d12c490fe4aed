#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace vessaro {

// Syncs the data of one file to the disk (fdatasync) on a thread of its own,
// so that the thread writing the file never waits on the disk: a disk that
// stalls holds up this thread alone, while the writer goes on draining audio.
//
// Threads: request(), syncedEnd() and error() from the thread that writes the
// file (they take a lock held only for a few instructions, never across a
// sync; not the audio thread); stop() and the destructor from the thread that
// owns the file, which must stay open until stop() has returned. The sync
// thread runs from construction until stop() or the destructor has joined it.
class FragmentSyncer {
public:
    // `fd` is synced up to `syncedEnd` already.
    FragmentSyncer(int fd, std::int64_t syncedEnd);
    // stop(false).
    ~FragmentSyncer();
    FragmentSyncer(const FragmentSyncer&) = delete;
    FragmentSyncer& operator=(const FragmentSyncer&) = delete;

    // Asks for the bytes before `end` to reach the disk; a request covers
    // every earlier one. Never waits.
    void request(std::int64_t end);
    // Where the bytes proven on disk end: those of the last request whose
    // sync succeeded.
    std::int64_t syncedEnd() const;
    // The first sync's errno, or 0. After one no sync is tried again: the
    // kernel may have dropped the pages it failed to write, so a later sync
    // that succeeds would prove nothing about them.
    int error() const;
    // Joins the thread: with `completing`, once every request is synced (or
    // failed), else once the sync under way, if any, has returned. Returns
    // error(). Any later call returns at once.
    int stop(bool completing);

private:
    void run();

    const int m_fd;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::int64_t m_requested;
    std::int64_t m_synced;
    int m_error = 0;
    bool m_stopping = false;
    bool m_completing = false;
    // Last: started once the state above exists.
    std::thread m_thread;
};

} // namespace vessaro
