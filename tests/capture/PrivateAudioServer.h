#pragma once

#include "support/ScopedEnvironmentVariable.h"

#include <QByteArray>
#include <QProcess>

#include <optional>

namespace vessaro::test {

// A second private audio server of the flavour the tests run under, started
// with scripts/audio-server.sh, for tests that kill a server. While it lives,
// PULSE_SERVER points at it. Test thread only.
class PrivateAudioServer {
public:
    PrivateAudioServer();
    // Lets the script stop whatever is still running.
    ~PrivateAudioServer();
    PrivateAudioServer(const PrivateAudioServer&) = delete;
    PrivateAudioServer& operator=(const PrivateAudioServer&) = delete;

    bool isRunning() const { return m_pointedAt.has_value(); }
    // Kills the process that speaks the PulseAudio protocol with SIGKILL and
    // returns once it is dead, so that its sockets are closed.
    bool kill();
    // Kills it the same way and has the script start it again at the same
    // address, with the same sinks; returns at once.
    bool restart();

private:
    QProcess m_script;
    qint64 m_serverPid = 0;
    std::optional<ScopedEnvironmentVariable> m_pointedAt;
};

} // namespace vessaro::test
