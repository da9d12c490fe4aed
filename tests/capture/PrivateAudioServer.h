#pragma once

#include <QByteArray>
#include <QProcess>

namespace vessaro::test {

// A second private audio server of the flavour the tests run under, started
// with scripts/audio-server.sh, for tests that kill a server. Test thread only.
class PrivateAudioServer {
public:
    PrivateAudioServer();
    // Lets the script stop whatever is still running.
    ~PrivateAudioServer();
    PrivateAudioServer(const PrivateAudioServer&) = delete;
    PrivateAudioServer& operator=(const PrivateAudioServer&) = delete;

    bool isRunning() const { return !m_address.isEmpty(); }
    // The value for PULSE_SERVER.
    const QByteArray& address() const { return m_address; }
    // Kills the process that speaks the PulseAudio protocol with SIGKILL and
    // returns once it is dead, so that its sockets are closed.
    bool kill();

private:
    QProcess m_script;
    QByteArray m_address;
    qint64 m_serverPid = 0;
};

} // namespace vessaro::test
