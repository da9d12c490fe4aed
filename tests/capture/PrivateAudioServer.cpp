#include "PrivateAudioServer.h"

#include <QDeadlineTimer>

#include <csignal>

namespace vessaro::test {

PrivateAudioServer::PrivateAudioServer()
{
    m_script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_script.start(QStringLiteral(VESSARO_AUDIO_SERVER_SCRIPT),
        { QStringLiteral("run"), qEnvironmentVariable("VESSARO_TEST_AUDIO_SERVER"), QStringLiteral("--"),
            QStringLiteral("sh"), QStringLiteral("-c"),
            QStringLiteral("echo \"$PULSE_SERVER\"; exec cat >/dev/null") });
    if (!m_script.waitForStarted(10000))
        return;
    QDeadlineTimer deadline(30000);
    while (!m_script.canReadLine() && !deadline.hasExpired() && m_script.state() == QProcess::Running)
        m_script.waitForReadyRead(100);
    const QByteArray address = m_script.readLine().trimmed();
    if (!address.isEmpty())
        m_pointedAt.emplace("PULSE_SERVER", address);
}

PrivateAudioServer::~PrivateAudioServer()
{
    if (m_script.state() == QProcess::NotRunning)
        return;
    m_script.closeWriteChannel();
    if (!m_script.waitForFinished(30000)) {
        m_script.terminate();
        m_script.waitForFinished(10000);
    }
}

bool PrivateAudioServer::restart()
{
    return m_script.state() == QProcess::Running && ::kill(static_cast<pid_t>(m_script.processId()), SIGUSR1) == 0;
}

} // namespace vessaro::test
