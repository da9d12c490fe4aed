#pragma once

#include "support/ScopedEnvironmentVariable.h"

#include <QProcess>

#include <optional>

namespace vessaro::test {

// A second private audio server of the flavour the tests run under, started
// with scripts/audio-server.sh, for tests that restart a server. While it
// lives, PULSE_SERVER points at it. Test thread only.
class PrivateAudioServer {
public:
    PrivateAudioServer();
    // Lets the script stop whatever is still running.
    ~PrivateAudioServer();
    PrivateAudioServer(const PrivateAudioServer&) = delete;
    PrivateAudioServer& operator=(const PrivateAudioServer&) = delete;

    bool isRunning() const { return m_pointedAt.has_value(); }
    // Kills the server like a crash would and has the script start it again
    // at the same address, with the same sinks; returns at once.
    bool restart();

private:
    QProcess m_script;
    std::optional<ScopedEnvironmentVariable> m_pointedAt;
};

} // namespace vessaro::test
