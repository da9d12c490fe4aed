#include "PrivateAudioServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <csignal>

namespace vessaro::test {
namespace {

// Dead means gone or a zombie: either way its sockets are closed.
bool isDead(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) == "Z";
}

} // namespace

PrivateAudioServer::PrivateAudioServer()
{
    m_script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_script.start(QStringLiteral(VESSARO_AUDIO_SERVER_SCRIPT),
        { QStringLiteral("run"), qEnvironmentVariable("VESSARO_TEST_AUDIO_SERVER"), QStringLiteral("--"),
            QStringLiteral("sh"), QStringLiteral("-c"),
            QStringLiteral("echo \"$PULSE_SERVER $VESSARO_TEST_AUDIO_SERVER_PID\"; exec cat >/dev/null") });
    if (!m_script.waitForStarted(10000))
        return;
    QDeadlineTimer deadline(30000);
    while (!m_script.canReadLine() && !deadline.hasExpired() && m_script.state() == QProcess::Running)
        m_script.waitForReadyRead(100);
    const QList<QByteArray> fields = m_script.readLine().trimmed().split(' ');
    if (fields.size() != 2)
        return;
    m_serverPid = fields[1].toLongLong();
    m_pointedAt.emplace("PULSE_SERVER", fields[0]);
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

bool PrivateAudioServer::kill()
{
    if (m_serverPid <= 0 || ::kill(static_cast<pid_t>(m_serverPid), SIGKILL) != 0)
        return false;
    QDeadlineTimer deadline(10000);
    while (!isDead(m_serverPid)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}

} // namespace vessaro::test
