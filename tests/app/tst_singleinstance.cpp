#include "app/SingleInstance.h"
#include "support/TestSupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/stat.h>
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
        sockaddr_un address { AF_UNIX, {} };
        std::strncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path - 1);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);

        SingleInstance first(path);
        QCOMPARE(first.claim({}), Role::primary);
        QSignalSpy activated(&first, &SingleInstance::activationRequested);
        SingleInstance second(path);
        QCOMPARE(second.claim("token-42"), Role::secondary);
        QVERIFY(activated.wait(5000));
        QCOMPARE(activated.at(0).at(0).toByteArray(), QByteArray("token-42"));
    }

    // The socket goes in the runtime folder only when it is a real folder of ours that nobody else may enter.
    void socketFolderIsPrivate_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("used");
        QTest::newRow("private") << "private" << true;
        QTest::newRow("symbolic link to a private one") << "symlink" << false;
        QTest::newRow("open to the group") << "group" << false;
        QTest::newRow("another user's") << "other" << false;
    }

    void socketFolderIsPrivate()
    {
        QFETCH(QString, kind);
        QFETCH(bool, used);
        test::ScopedCacheHome home;
        QTemporaryDir dir;
        const QString runtime = dir.filePath(QStringLiteral("runtime"));
        const QString real = kind == QStringLiteral("symlink") ? dir.filePath(QStringLiteral("real")) : runtime;
        QVERIFY(::mkdir(QFile::encodeName(real).constData(), kind == QStringLiteral("group") ? 0750 : 0700) == 0);
        QVERIFY(real == runtime || QFile::link(real, runtime));
        if (kind == QStringLiteral("other") && ::chown(QFile::encodeName(runtime).constData(), 65534, 65534) != 0)
            QSKIP("giving a folder to another user needs root");
        const test::ScopedEnvironmentVariable variable("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        QCOMPARE(SingleInstance::defaultSocketPath(),
            (used ? runtime : home.path() + QStringLiteral("/vessaro")) + QStringLiteral("/vessaro.socket"));
    }
};

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "tst_singleinstance.moc"
