#include "base/Platform.h"
#include "base/SystemErrorText.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace vessaro;

class PlatformTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Made private on the cache path; anything already there that is not a private directory of ours is
    // refused, never followed.
    void temporaryDirectoryIsPrivate_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("made fresh") << QString();
        QTest::newRow("symlink to a directory") << QStringLiteral("symlink");
        QTest::newRow("group-readable") << QStringLiteral("mode");
    }

    void temporaryDirectoryIsPrivate()
    {
        QFETCH(QString, kind);
        test::ScopedCacheHome home;
        const QString path = home.path() + QStringLiteral("/vessaro");
        const QByteArray native = QFile::encodeName(path);
        QTemporaryDir elsewhere;
        if (kind == QStringLiteral("symlink")) {
            QVERIFY(::symlink(QFile::encodeName(elsewhere.path()).constData(), native.constData()) == 0);
        } else if (!kind.isEmpty()) {
            QVERIFY(::mkdir(native.constData(), 0750) == 0);
        }
        auto directory = Platform::temporaryDirectory();
        QCOMPARE(directory.ok(), kind.isEmpty());
        const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser
            | QFile::WriteUser | QFile::ExeUser;
        if (kind.isEmpty())
            QCOMPARE(QList<QVariant>({ directory.value(), int(QFile::permissions(path)) }),
                QList<QVariant>({ path, int(ownerOnly) }));
        QVERIFY(QDir(elsewhere.path()).isEmpty());
    }

    void insideDirectoryComparesWholeComponents_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("directory");
        QTest::addColumn<bool>("inside");
        const auto row = [](const char* name, const char* path, const char* directory, bool inside) {
            QTest::newRow(name) << QString::fromUtf8(path) << QString::fromUtf8(directory) << inside;
        };
        row("child", "/tmp/a.mp4", "/tmp", true);
        row("deeper", "/tmp/x/y/a.mp4", "/tmp/", true);
        row("sibling with the same prefix", "/tmp2/a.mp4", "/tmp", false);
        row("the directory itself", "/tmp", "/tmp", false);
        row("dot-dot out of it", "/tmp/../etc/passwd", "/tmp", false);
        row("relative", "tmp/a.mp4", "/tmp", false);
    }

    void insideDirectoryComparesWholeComponents()
    {
        QFETCH(QString, path);
        QFETCH(QString, directory);
        QFETCH(bool, inside);
        QCOMPARE(Platform::isInsideDirectory(path, directory), inside);
    }

    // Exporting replaces the destination in one step; a failed replacement leaves it alone, and no staging
    // file is left.
    void replaceFile()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("source"));
        const QString replaced = dir.filePath(QStringLiteral("old recording.mp4"));
        QVERIFY(Platform::writeAtomically(QByteArray(200000, 'n'), source).ok());
        QVERIFY(Platform::writeAtomically("old", replaced).ok());
        QVERIFY(!Platform::replaceFile(dir.filePath(QStringLiteral("missing")), replaced).ok());
        QCOMPARE(test::readAll(replaced), QByteArray("old"));
        // A folder is not replaced by a file; the system's refusal is told in our words.
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.mp4")));
        const auto onFolder = Platform::replaceFile(source, dir.filePath(QStringLiteral("folder.mp4")));
        QVERIFY(
            onFolder.error().localizedDescription().endsWith(QStringLiteral("：") + SystemErrorText::describe(EISDIR)));
        QVERIFY(Platform::replaceFile(source, replaced).ok());
        QCOMPARE(test::readAll(replaced), QByteArray(200000, 'n'));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }
};

QTEST_GUILESS_MAIN(PlatformTest)
#include "tst_platform.moc"
