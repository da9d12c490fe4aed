#pragma once

#include "capture/hal/AudioHardware.h"
#include "capture/hal/PlayingProgram.h"
#include "capture/hal/PulseHandle.h"
#include "capture/hal/PulseMainLoop.h"

#include <QByteArray>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace vessaro {

// One connection to the sound server (a libpulse context) on a threaded main
// loop, and the blocking calls made through it: each wait on the server ends
// after the operation timeout with -PA_ERR_TIMEOUT.
//
// Threads: every method, the constructor and the destructor run with the
// loop's lock held, never on the loop's own thread (they wait for it). The
// server-change and playback-change callbacks run on the loop's thread, lock
// held.
class PulseConnection {
public:
    // Property of the connection that carries the tap's uuid.
    static constexpr const char* uuidProperty = "vessaro.tap.uuid";

    // The default output as the server names it.
    struct Output {
        QByteArray sinkName;
        QByteArray monitorSource;
        std::uint32_t sampleRate = 0;
    };
    // A playback stream (sink input) and the program it belongs to.
    struct Playback {
        std::uint32_t index = 0;
        std::uint32_t sinkMonitor = 0; // the index of the monitor of the output it plays to
        PlayingProgram program;
    };

    // Nothing is connected until connect(). Desktop mixers list the
    // connection as `name`; it carries `uuid` as a property. Once connected,
    // `onServerChange` runs whenever the server's own settings change, and
    // `onPlaybackChange` (when set) whenever a playback stream comes, changes or goes.
    PulseConnection(PulseMainLoop& loop, std::chrono::milliseconds timeout, QByteArray name, QString uuid,
        std::function<void()> onServerChange, std::function<void()> onPlaybackChange = {});
    // Disconnects; the context is released with it.
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    OSStatus connect();
    // A new, unconnected connection like this one: to reach a server again.
    std::unique_ptr<PulseConnection> sibling() const;

    OSStatus findDefaultOutput(Output& output);
    // Every playback stream the server has now, with the program that plays it.
    OSStatus listPlayback(std::vector<Playback>& streams);

    // Waits for `started` (which it releases) to finish: 0 once done, the
    // failure if the connection or `stream` (may be null) fails first.
    OSStatus waitFor(pa_operation* started, pa_stream* stream);
    // Starts an operation on `stream` whose callback acknowledges it (flush,
    // cork) and waits for the answer: 0, or the failure.
    OSStatus acknowledged(pa_stream* stream, pa_operation* (*start)(pa_stream*, pa_stream_success_cb_t, void*));
    // Waits until `done` or the timeout; false on the timeout.
    bool waitUntil(const std::function<bool()>& done);

    // 0 while ready; the reason it is not otherwise.
    OSStatus status() const;
    // The last failure the server reported, as a status.
    OSStatus error() const;
    // False once the connection failed or ended.
    bool isGood() const;
    pa_context* context() const { return m_context.get(); }
    PulseMainLoop& loop() const { return m_loop; }

private:
    void subscribe();
    static void onState(pa_context* context, void* userdata);
    static void onSubscription(
        pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* userdata);

    PulseMainLoop& m_loop;
    const std::chrono::milliseconds m_timeout;
    const QByteArray m_name;
    const QString m_uuid;
    const std::function<void()> m_onServerChange;
    const std::function<void()> m_onPlaybackChange;
    PulseContextHandle m_context;
};

} // namespace vessaro
