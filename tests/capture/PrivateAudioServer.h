#pragma once

#include "support/ScopedEnvironmentVariable.h"

#include <QDeadlineTimer>
#include <QProcess>

#include <csignal>
#include <optional>

namespace vessaro::test {

// A second private audio server of the flavour the tests run under, started with scripts/audio-server.sh, for
// tests that restart a server. While it lives, PULSE_SERVER points at it. Test thread only.
class PrivateAudioServer {
public:
    PrivateAudioServer()
    {
        m_script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_script.start(QStringLiteral(VESSARO_AUDIO_SERVER_SCRIPT),
            { "run", qEnvironmentVariable("VESSARO_TEST_AUDIO_SERVER"), "--", "sh", "-c",
                "echo \"$PULSE_SERVER\"; exec cat >/dev/null" });
        QDeadlineTimer deadline(30000);
        // waitForStarted() is false once the script has ended.
        while (m_script.waitForStarted(10000) && !m_script.canReadLine() && !deadline.hasExpired())
            m_script.waitForReadyRead(100);
        if (const QByteArray address = m_script.readLine().trimmed(); !address.isEmpty())
            m_pointedAt.emplace("PULSE_SERVER", address);
    }
    // Lets the script stop whatever is still running.
    ~PrivateAudioServer()
    {
        m_script.closeWriteChannel();
        if (m_script.state() != QProcess::NotRunning && !m_script.waitForFinished(30000)) {
            m_script.terminate();
            m_script.waitForFinished(10000);
        }
    }

    bool isRunning() const { return m_pointedAt.has_value(); }
    // Kills the server like a crash would; the script starts it again at the same address, with the same sinks.
    bool restart()
    {
        return m_script.state() == QProcess::Running && ::kill(pid_t(m_script.processId()), SIGUSR1) == 0;
    }

private:
    QProcess m_script;
    std::optional<ScopedEnvironmentVariable> m_pointedAt;
};

} // namespace vessaro::test
