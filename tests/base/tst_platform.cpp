#include "base/Platform.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace vessaro;

namespace {

mode_t modeOf(const QString& path)
{
    struct stat info { };
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

QStringList filesIn(const QTemporaryDir& dir)
{
    return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
}

int errnoOf(const Status& status)
{
    return status.ok() ? 0 : status.error().platformError()->code();
}

} // namespace

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
        QTest::newRow("regular file") << QStringLiteral("file");
        QTest::newRow("group-readable") << QStringLiteral("mode");
        QTest::newRow("owned by another user") << QStringLiteral("owner");
    }

    void temporaryDirectoryIsPrivate()
    {
        QFETCH(QString, kind);
        test::ScopedCacheHome home;
        const QString path = home.path() + QStringLiteral("/vessaro");
        const QByteArray native = QFile::encodeName(path);
        QTemporaryDir elsewhere;
        QFile file(path);
        if (kind == QStringLiteral("symlink")) {
            QVERIFY(::symlink(QFile::encodeName(elsewhere.path()).constData(), native.constData()) == 0);
        } else if (kind == QStringLiteral("file")) {
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (!kind.isEmpty()) {
            QVERIFY(::mkdir(native.constData(), kind == QStringLiteral("mode") ? 0750 : 0700) == 0);
            if (kind == QStringLiteral("owner") && (::geteuid() != 0 || ::chown(native.constData(), 65534, 65534) != 0))
                QSKIP("changing the owner needs root");
        }
        auto directory = Platform::temporaryDirectory();
        QCOMPARE(directory.ok(), kind.isEmpty());
        if (kind.isEmpty())
            QCOMPARE(QList<QVariant>({ directory.value(), modeOf(path) }), QList<QVariant>({ path, mode_t(0700) }));
        QVERIFY(QDir(elsewhere.path()).isEmpty());
    }

    void insideDirectoryComparesWholeComponents_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("directory");
        QTest::addColumn<bool>("inside");
        QTest::newRow("child") << "/tmp/a.mp4"
                               << "/tmp" << true;
        QTest::newRow("deeper") << "/tmp/x/y/a.mp4"
                                << "/tmp/" << true;
        QTest::newRow("sibling with the same prefix") << "/tmp2/a.mp4"
                                                      << "/tmp" << false;
        QTest::newRow("the directory itself") << "/tmp"
                                              << "/tmp" << false;
        QTest::newRow("dot-dot out of it") << "/tmp/../etc/passwd"
                                           << "/tmp" << false;
        QTest::newRow("relative") << "tmp/a.mp4"
                                  << "/tmp" << false;
    }

    void insideDirectoryComparesWholeComponents()
    {
        QFETCH(QString, path);
        QFETCH(QString, directory);
        QFETCH(bool, inside);
        QCOMPARE(Platform::isInsideDirectory(path, directory), inside);
    }

    // A copy, or a replacement of an existing destination in one step, gets the mode of any new file
    // of the user's; a copy never overwrites, and no staging file is left.
    void copyAndReplaceMakeANewFileOfTheUsers()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("source"));
        const QString copy = dir.filePath(QStringLiteral("copy"));
        const QString replaced = dir.filePath(QStringLiteral("old recording.mp4"));
        QVERIFY(Platform::writeAtomically(QByteArray(200000, 'n'), source).ok());
        QVERIFY(Platform::writeAtomically("old", replaced).ok());
        QVERIFY(::chmod(QFile::encodeName(source).constData(), 0600) == 0);
        const mode_t previous = ::umask(027);
        const bool done = Platform::copyFile(source, copy).ok() && Platform::replaceFile(source, replaced).ok();
        ::umask(previous);
        QVERIFY(done);
        for (const QString& made : { copy, replaced }) {
            QCOMPARE(test::readAll(made), QByteArray(200000, 'n'));
            QCOMPARE(modeOf(made), mode_t(0640));
        }
        QCOMPARE(errnoOf(Platform::copyFile(source, copy)), EEXIST);
        QCOMPARE(filesIn(dir).size(), 3);
    }

    void failedReplaceLeavesTheDestinationAlone()
    {
        QTemporaryDir dir;
        const QString kept = dir.filePath(QStringLiteral("kept.mp4"));
        QVERIFY(Platform::writeAtomically("kept", kept).ok());
        QVERIFY(!Platform::replaceFile(dir.filePath(QStringLiteral("missing")), kept).ok());
        QCOMPARE(test::readAll(kept), QByteArray("kept"));
        // A destination that cannot be written names itself, not the staging file.
        const QString below = kept + QStringLiteral("/x.mp4");
        QVERIFY(Platform::replaceFile(kept, below).error().localizedDescription().contains(below));
        // A folder at the destination is not replaced by a file.
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.mp4")));
        QVERIFY(!Platform::replaceFile(kept, dir.filePath(QStringLiteral("folder.mp4"))).ok());
        QCOMPARE(filesIn(dir), QStringList({ QStringLiteral("kept.mp4") }));
    }

    void fileOperationsReportTheFileSystemsError()
    {
        QTemporaryDir dir;
        const QString plainFile = dir.filePath(QStringLiteral("plain"));
        QVERIFY(Platform::writeAtomically("first version, longer", plainFile).ok());
        QVERIFY(Platform::writeAtomically("x", plainFile).ok());
        QCOMPARE(test::readAll(plainFile), QByteArray("x"));
        QCOMPARE(filesIn(dir).size(), 1); // no stray temporary
        // Root writes through mode bits, but nothing can be created below a regular file.
        QCOMPARE(errnoOf(Platform::createDirectory(plainFile + QStringLiteral("/x"))), ENOTDIR);
        QCOMPARE(errnoOf(Platform::writeAtomically("x", plainFile + QStringLiteral("/x"))), ENOTDIR);
        QCOMPARE(errnoOf(Platform::removeItem(dir.filePath(QStringLiteral("missing")))), ENOENT);
    }

    void jsonIsSortedOneMemberPerLineAndExact()
    {
        QJsonObject object;
        object.insert(QStringLiteral("zeta"), 1);
        object.insert(QStringLiteral("alpha"), 3.0000000000000004);
        object.insert(QStringLiteral("mid"), QJsonArray { 0.1, 2.9999999999999996 });
        const QByteArray bytes = Platform::sortedPrettyJson(object);
        QVERIFY(bytes.indexOf("alpha") < bytes.indexOf("mid") && bytes.indexOf("mid") < bytes.indexOf("zeta"));
        QCOMPARE(QJsonDocument::fromJson(bytes).object(), object);
    }
};

QTEST_GUILESS_MAIN(PlatformTest)
#include "tst_platform.moc"
