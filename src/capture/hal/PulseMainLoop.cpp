#include "capture/hal/PulseMainLoop.h"

#include <pulse/timeval.h>

namespace vessaro {
namespace {

// A timer on the loop that signals it once, so that a wait always ends.
class DeadlineEvent {
public:
    DeadlineEvent(pa_threaded_mainloop* loop, pa_mainloop_api* api, std::chrono::milliseconds limit)
        : m_loop(loop)
        , m_api(api)
    {
        timeval when {};
        pa_gettimeofday(&when);
        pa_timeval_add(&when, static_cast<pa_usec_t>(limit.count()) * PA_USEC_PER_MSEC);
        m_event = m_api->time_new(m_api, &when, &DeadlineEvent::fired, this);
    }
    ~DeadlineEvent()
    {
        if (m_event)
            m_api->time_free(m_event);
    }
    DeadlineEvent(const DeadlineEvent&) = delete;
    DeadlineEvent& operator=(const DeadlineEvent&) = delete;

    // A timer that could not be created counts as passed: never wait unguarded.
    bool hasPassed() const { return m_passed || !m_event; }

private:
    static void fired(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata)
    {
        auto* self = static_cast<DeadlineEvent*>(userdata);
        self->m_passed = true;
        pa_threaded_mainloop_signal(self->m_loop, 0);
    }

    pa_threaded_mainloop* m_loop;
    pa_mainloop_api* m_api;
    pa_time_event* m_event = nullptr;
    bool m_passed = false;
};

} // namespace

PulseMainLoop::PulseMainLoop(const char* threadName)
    : m_loop(pa_threaded_mainloop_new())
{
    if (!m_loop)
        return;
    pa_threaded_mainloop_set_name(m_loop.get(), threadName);
    m_running = pa_threaded_mainloop_start(m_loop.get()) >= 0;
}

PulseMainLoop::~PulseMainLoop()
{
    if (m_running)
        pa_threaded_mainloop_stop(m_loop.get());
}

bool PulseMainLoop::isLoopThread() const
{
    return m_loop && pa_threaded_mainloop_in_thread(m_loop.get()) != 0;
}

pa_mainloop_api* PulseMainLoop::api() const
{
    return pa_threaded_mainloop_get_api(m_loop.get());
}

void PulseMainLoop::lock()
{
    pa_threaded_mainloop_lock(m_loop.get());
}

void PulseMainLoop::unlock()
{
    pa_threaded_mainloop_unlock(m_loop.get());
}

void PulseMainLoop::signal()
{
    pa_threaded_mainloop_signal(m_loop.get(), 0);
}

bool PulseMainLoop::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    if (done())
        return true;
    DeadlineEvent deadline(m_loop.get(), api(), limit);
    while (!done()) {
        if (deadline.hasPassed())
            return false;
        pa_threaded_mainloop_wait(m_loop.get());
    }
    return true;
}

} // namespace vessaro
