#pragma once

#include <pulse/mainloop-api.h>
#include <pulse/thread-mainloop.h>

#include <chrono>
#include <functional>
#include <memory>

namespace vessaro {

// Owns a libpulse threaded main loop and its thread, which is started at
// construction and stopped at destruction. Every libpulse callback of the
// objects attached to it runs on that thread with the loop's lock held.
//
// lock(), unlock() and waitUntil() are for other threads only: called on the
// loop's own thread they would deadlock. Destroy the loop from another thread,
// without the lock, after every context attached to it has been released.
class PulseMainLoop {
public:
    explicit PulseMainLoop(const char* threadName);
    ~PulseMainLoop();
    PulseMainLoop(const PulseMainLoop&) = delete;
    PulseMainLoop& operator=(const PulseMainLoop&) = delete;

    // False when the loop or its thread could not be created.
    bool isRunning() const { return m_running; }
    bool isLoopThread() const;
    // Lock held.
    pa_mainloop_api* api() const;

    void lock();
    void unlock();
    // Wakes a waitUntil(); from a callback on the loop's thread.
    void signal();

    // With the lock held: waits, releasing the lock meanwhile, until `done`
    // returns true (true) or `limit` has passed (false). `done` is checked with
    // the lock held each time a callback signals.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

    // Holds the loop's lock for its lifetime.
    class Locker {
    public:
        explicit Locker(PulseMainLoop& loop)
            : m_loop(loop)
        {
            m_loop.lock();
        }
        ~Locker() { m_loop.unlock(); }
        Locker(const Locker&) = delete;
        Locker& operator=(const Locker&) = delete;

    private:
        PulseMainLoop& m_loop;
    };

private:
    struct Free {
        void operator()(pa_threaded_mainloop* loop) const { pa_threaded_mainloop_free(loop); }
    };
    std::unique_ptr<pa_threaded_mainloop, Free> m_loop;
    bool m_running = false;
};

} // namespace vessaro
