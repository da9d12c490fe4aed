#include "base/Platform.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace vessaro;

namespace {

mode_t modeOf(const QString& path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

} // namespace

class PlatformTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void temporaryDirectoryIsPrivateAndOnTheCachePath()
    {
        test::ScopedCacheHome home;
        auto directory = Platform::temporaryDirectory();
        QVERIFY(directory.ok());
        QCOMPARE(directory.value(), home.path() + QStringLiteral("/vessaro"));
        QCOMPARE(modeOf(directory.value()), mode_t(0700));
        // The same directory on every call.
        QCOMPARE(Platform::temporaryDirectory().value(), directory.value());
    }

    void temporaryDirectoryRefusesWhatIsNotOurs_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("symlink to a directory") << QStringLiteral("symlink");
        QTest::newRow("regular file") << QStringLiteral("file");
        QTest::newRow("group-readable") << QStringLiteral("mode");
        QTest::newRow("owned by another user") << QStringLiteral("owner");
    }

    void temporaryDirectoryRefusesWhatIsNotOurs()
    {
        QFETCH(QString, kind);
        test::ScopedCacheHome home;
        const QString path = home.path() + QStringLiteral("/vessaro");
        const QByteArray native = QFile::encodeName(path);
        QTemporaryDir elsewhere;
        if (kind == QStringLiteral("symlink")) {
            QVERIFY(::symlink(QFile::encodeName(elsewhere.path()).constData(), native.constData()) == 0);
        } else if (kind == QStringLiteral("file")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else {
            QVERIFY(::mkdir(native.constData(), 0700) == 0);
            if (kind == QStringLiteral("mode"))
                QVERIFY(::chmod(native.constData(), 0750) == 0);
            else if (::geteuid() != 0 || ::chown(native.constData(), 65534, 65534) != 0)
                QSKIP("changing the owner needs root");
        }
        auto directory = Platform::temporaryDirectory();
        QVERIFY(!directory.ok());
        QVERIFY(directory.error().platformError());
        // Refused, never followed: nothing was created behind the link.
        QVERIFY(QDir(elsewhere.path()).isEmpty());
    }

    void insideDirectoryComparesWholeComponents_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("directory");
        QTest::addColumn<bool>("inside");
        QTest::newRow("child") << "/tmp/a.mp4" << "/tmp" << true;
        QTest::newRow("deeper") << "/tmp/x/y/a.mp4" << "/tmp/" << true;
        QTest::newRow("sibling with the same prefix") << "/tmp2/a.mp4" << "/tmp" << false;
        QTest::newRow("the directory itself") << "/tmp" << "/tmp" << false;
        QTest::newRow("dot-dot out of it") << "/tmp/../etc/passwd" << "/tmp" << false;
        QTest::newRow("relative") << "tmp/a.mp4" << "/tmp" << false;
        QTest::newRow("empty") << "" << "/tmp" << false;
    }

    void insideDirectoryComparesWholeComponents()
    {
        QFETCH(QString, path);
        QFETCH(QString, directory);
        QFETCH(bool, inside);
        QCOMPARE(Platform::isInsideDirectory(path, directory), inside);
    }

    void copyGivesANewFileOfTheUsersAndRefusesToOverwrite()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("source"));
        const QString destination = dir.filePath(QStringLiteral("destination"));
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(200000, 'x'));
        file.close();
        QVERIFY(::chmod(QFile::encodeName(source).constData(), 0600) == 0);

        const mode_t previous = ::umask(022);
        auto copied = Platform::copyFile(source, destination);
        ::umask(previous);
        QVERIFY(copied.ok());
        QCOMPARE(modeOf(destination), mode_t(0644));
        QFile copy(destination);
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), QByteArray(200000, 'x'));
        QVERIFY(!Platform::copyFile(source, destination).ok());
    }

    void replaceFileSwapsTheDestinationInOneStep()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("source"));
        const QString destination = dir.filePath(QStringLiteral("old recording.mp4"));
        QVERIFY(Platform::writeAtomically(QByteArray(100000, 'n'), source).ok());
        QVERIFY(::chmod(QFile::encodeName(source).constData(), 0600) == 0);
        QVERIFY(Platform::writeAtomically("old", destination).ok());

        const mode_t previous = ::umask(027);
        auto replaced = Platform::replaceFile(source, destination);
        ::umask(previous);
        QVERIFY(replaced.ok());
        QFile copy(destination);
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), QByteArray(100000, 'n'));
        QCOMPARE(modeOf(destination), mode_t(0640));
        QVERIFY(QFile::exists(source));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);  // no staging file left

        // A new destination works the same way.
        QVERIFY(Platform::replaceFile(source, dir.filePath(QStringLiteral("new.mp4"))).ok());
    }

    void failedReplaceLeavesTheDestinationAlone()
    {
        QTemporaryDir dir;
        const QString destination = dir.filePath(QStringLiteral("kept.mp4"));
        QVERIFY(Platform::writeAtomically("kept", destination).ok());
        // Nothing to read: the copy fails after the destination was chosen.
        auto replaced = Platform::replaceFile(dir.filePath(QStringLiteral("missing")), destination);
        QVERIFY(!replaced.ok());
        QFile file(destination);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("kept"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList({QStringLiteral("kept.mp4")}));

        // A destination that cannot be written names itself, not the staging file.
        QVERIFY(Platform::writeAtomically("x", dir.filePath(QStringLiteral("plain"))).ok());
        QVERIFY(Platform::writeAtomically("x", dir.filePath(QStringLiteral("source"))).ok());
        const QString below = dir.filePath(QStringLiteral("plain/x.mp4"));
        auto refused = Platform::replaceFile(dir.filePath(QStringLiteral("source")), below);
        QVERIFY(!refused.ok());
        QVERIFY2(refused.error().localizedDescription().contains(below), qPrintable(refused.error().localizedDescription()));
        // A folder at the destination is not replaced by a file.
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.mp4")));
        QVERIFY(!Platform::replaceFile(dir.filePath(QStringLiteral("source")), dir.filePath(QStringLiteral("folder.mp4"))).ok());
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("folder.mp4"))).isDir());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 3);
    }

    void fileOperationsReportTheFileSystemsError()
    {
        QTemporaryDir dir;
        const QString plainFile = dir.filePath(QStringLiteral("plain"));
        QFile file(plainFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        // Root writes through mode bits, but nothing can be created below a regular file.
        const QString below = plainFile + QStringLiteral("/x");
        QVERIFY(!Platform::createDirectory(below).ok());
        QVERIFY(!Platform::writeAtomically("x", below).ok());
        QVERIFY(!Platform::removeItem(dir.filePath(QStringLiteral("missing"))).ok());
        auto size = Platform::fileSize(dir.filePath(QStringLiteral("missing")));
        QVERIFY(!size.ok());
        QVERIFY(size.error().localizedDescription().contains(QStringLiteral("missing")));
    }

    void atomicWriteReplacesTheWholeFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("result.json"));
        QVERIFY(Platform::writeAtomically("first version, longer", path).ok());
        QVERIFY(Platform::writeAtomically("second", path).ok());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("second"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 1);  // no stray temporary
    }

    void uuidTextIsCanonicalUpperCaseAndNew()
    {
        const QRegularExpression form(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
        const QString a = Platform::uuidString();
        QVERIFY(form.match(a).hasMatch());
        QVERIFY(a != Platform::uuidString());
    }

    void jsonIsSortedOneMemberPerLineAndExact()
    {
        QJsonObject object;
        object.insert(QStringLiteral("zeta"), 1);
        object.insert(QStringLiteral("alpha"), 3.0000000000000004);
        object.insert(QStringLiteral("mid"), QJsonArray{0.1, 2.9999999999999996});
        const QByteArray bytes = Platform::sortedPrettyJson(object);
        QVERIFY(bytes.indexOf("alpha") < bytes.indexOf("mid"));
        QVERIFY(bytes.indexOf("mid") < bytes.indexOf("zeta"));
        const QJsonObject back = QJsonDocument::fromJson(bytes).object();
        QCOMPARE(back.value(QStringLiteral("alpha")).toDouble(), 3.0000000000000004);
        QCOMPARE(back.value(QStringLiteral("mid")).toArray().at(1).toDouble(), 2.9999999999999996);
    }
};

QTEST_GUILESS_MAIN(PlatformTest)
#include "tst_platform.moc"
