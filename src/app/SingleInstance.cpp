#include "app/SingleInstance.h"

#include "base/Platform.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QLockFile>

#include <sys/stat.h>
#include <unistd.h>

namespace vessaro {
namespace {

constexpr int kAnswerMilliseconds = 1000;
constexpr qint64 kMaximumRequestBytes = 4096;
const QByteArray kActivate = QByteArrayLiteral("activate ");

} // namespace

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent)
    , m_socketPath(std::move(socketPath))
{
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = m_server.nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QLocalSocket::readyRead, this, &SingleInstance::readRequest);
        }
    });
}

QString SingleInstance::defaultSocketPath()
{
    // Only a folder that no one else can write to or swap: otherwise another
    // user could answer in our place or take our activation tokens.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    struct stat info { };
    if (!runtime.isEmpty() && ::lstat(QFile::encodeName(runtime).constData(), &info) == 0 && S_ISDIR(info.st_mode)
        && info.st_uid == ::geteuid() && (info.st_mode & 07777) == 0700)
        return runtime + QStringLiteral("/vessaro.socket");
    const Result<QString> temporary = Platform::temporaryDirectory();
    return temporary ? temporary.value() + QStringLiteral("/vessaro.socket") : QString();
}

SingleInstance::Role SingleInstance::claim(const QByteArray& activationToken)
{
    if (m_socketPath.isEmpty())
        return Role::unavailable;
    // Two launches at once must not both find no answer and both listen.
    QLockFile lock(m_socketPath + QStringLiteral(".lock"));
    if (!lock.tryLock(5 * kAnswerMilliseconds))
        return Role::unavailable;

    QLocalSocket probe;
    probe.connectToServer(m_socketPath);
    if (probe.waitForConnected(kAnswerMilliseconds)) {
        probe.write(kActivate + activationToken.left(kMaximumRequestBytes / 2) + '\n');
        probe.waitForBytesWritten(kAnswerMilliseconds);
        probe.disconnectFromServer();
        return Role::secondary;
    }
    // Nobody answers: whatever is there was left by an instance that died.
    QLocalServer::removeServer(m_socketPath);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    return m_server.listen(m_socketPath) ? Role::primary : Role::unavailable;
}

void SingleInstance::readRequest()
{
    auto* client = qobject_cast<QLocalSocket*>(sender());
    if (!client)
        return;
    if (!client->canReadLine()) {
        // A peer that never ends its line is cut off rather than buffered forever.
        if (client->bytesAvailable() > kMaximumRequestBytes)
            client->abort();
        return;
    }
    const QByteArray line = client->readLine(kMaximumRequestBytes).trimmed();
    client->disconnectFromServer();
    if (line == kActivate.trimmed() || line.startsWith(kActivate))
        Q_EMIT activationRequested(line.mid(kActivate.size()));
}

} // namespace vessaro
