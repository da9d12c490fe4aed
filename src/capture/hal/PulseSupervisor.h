#pragma once

#include "capture/hal/AudioHardware.h"
#include "capture/hal/IntakeMonitor.h"
#include "capture/hal/PulseConnection.h"
#include "capture/hal/PulseMainLoop.h"
#include "capture/hal/PulseProgramStreams.h"
#include "capture/hal/PulseStream.h"

#include <QByteArray>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

namespace vessaro {

// Keeps a running device recording what the user hears, on a thread of its
// own, while the device runs:
//  - when the default output changes (or the recorded monitor disappears) it
//    opens a stream on the new default's monitor and drops the old one: the
//    server never moves a monitor stream by itself;
//  - when the server goes away it reconnects, and goes on with a new stream,
//    for up to the reconnect window; after that it reports the server lost;
//  - it shows the intake to an IntakeMonitor and reports what that finds lost;
//  - when one program is recorded, it follows that program's playback streams
//    whenever one comes, changes or goes, and anew after a reconnection.
// A replacement stream keeps the old one's format and blocks.
//
// Threads: start() with the loop's lock held; stop() without it, from the
// thread that started it. outputMayHaveChanged() and playbackMayHaveChanged()
// on the loop's thread. The
// supervisor's own thread holds the lock except while it waits, so the event
// and loss blocks it runs never run at the same time as the input block.
class PulseSupervisor {
public:
    PulseSupervisor(PulseMainLoop& loop, std::chrono::milliseconds reconnectWindow);
    ~PulseSupervisor() { stop(); }
    PulseSupervisor(const PulseSupervisor&) = delete;
    PulseSupervisor& operator=(const PulseSupervisor&) = delete;

    // Supervises `stream` on `connection`, replacing either in place, and
    // keeps `monitorSource` naming the source recorded. All of them are the
    // caller's and must outlive the run; they are touched with the lock held.
    // `programs`, when not null, are the streams of the program recorded.
    void start(std::unique_ptr<PulseConnection>& connection, std::unique_ptr<PulseStream>& stream,
        QByteArray& monitorSource, const AudioLossBlock& loss, const AudioEventBlock& events,
        PulseProgramStreams* programs);
    // Returns once the thread has ended: bounded, since every wait of it ends
    // within the operation timeout.
    void stop();

    // The server's settings changed: perhaps the default output.
    void outputMayHaveChanged();
    // A playback stream came, changed or went: perhaps one of the program's.
    void playbackMayHaveChanged();

private:
    enum class State {
        idle, // not started, or asked to end
        recording,
        playbackChanged, // follow the program's streams on the next pass
        outputChanged, // look at the default output, and follow the program's streams, on the next pass
        serverLost, // gave up reconnecting: ended
    };

    void run();
    bool running() const { return m_state != State::idle && m_state != State::serverLost; }
    void follow();
    void followPrograms();
    void reconnect();
    // Puts `replacement` in the old stream's place; `connection`, when not
    // null, replaces the old connection too.
    void takeOver(std::unique_ptr<PulseStream> replacement, std::unique_ptr<PulseConnection> connection);
    void checkIntake();
    void pauseBeforeRetry();

    PulseMainLoop& m_loop;
    const std::chrono::milliseconds m_reconnectWindow;
    // The lock held for these.
    State m_state = State::idle;
    std::unique_ptr<PulseConnection>* m_connection = nullptr;
    std::unique_ptr<PulseStream>* m_stream = nullptr;
    QByteArray* m_monitorSource = nullptr;
    const AudioLossBlock* m_loss = nullptr;
    const AudioEventBlock* m_events = nullptr;
    PulseProgramStreams* m_programs = nullptr;
    std::optional<IntakeMonitor> m_intake;
    // Started and joined by the caller's thread.
    std::thread m_thread;
};

} // namespace vessaro
