#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <QString>

namespace vessaro {

// Keeps one recorder window per user: the first launch listens on a local
// socket, and a later launch hands it its activation token and ends. A socket
// left by a crashed instance answers nobody and is taken over. Main thread
// only.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    enum class Role {
        primary, // this process shows the window and listens
        secondary, // another instance was told to come forward
        unavailable, // no socket could be had: run alone anyway
    };

    explicit SingleInstance(QString socketPath, QObject* parent = nullptr);

    // $XDG_RUNTIME_DIR/vessaro.socket when that is a real directory (not a
    // symbolic link) of ours with mode 0700, else in the private temporary
    // directory; empty when neither is there. Reads the disk.
    static QString defaultSocketPath();

    // Becomes the primary, or passes `activationToken` (the launcher's
    // XDG_ACTIVATION_TOKEN or DESKTOP_STARTUP_ID, may be empty) to it.
    Role claim(const QByteArray& activationToken);

Q_SIGNALS:
    // A later launch asked for the window.
    void activationRequested(const QByteArray& activationToken);

private:
    void readRequest();

    QString m_socketPath;
    QLocalServer m_server;
};

} // namespace vessaro
