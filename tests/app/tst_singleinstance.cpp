#include "app/SingleInstance.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

using namespace vessaro;
using Role = SingleInstance::Role;

class SingleInstanceTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // A crashed instance leaves its socket behind with nobody listening: the
    // next launch takes it over, and a second one hands it its token.
    void secondLaunchActivatesTheFirst()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("vessaro.socket"));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        const QByteArray native = QFile::encodeName(path);
        std::memcpy(address.sun_path, native.constData(), static_cast<size_t>(native.size()));
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
        QVERIFY(QFile::exists(path));

        SingleInstance first(path);
        QCOMPARE(first.claim({}), Role::primary);
        QSignalSpy activated(&first, &SingleInstance::activationRequested);
        SingleInstance second(path);
        QCOMPARE(second.claim("token-42"), Role::secondary);
        QVERIFY(activated.wait(5000));
        QCOMPARE(activated.at(0).at(0).toByteArray(), QByteArray("token-42"));
    }
};

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "tst_singleinstance.moc"
