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

QStringList filesIn(const QTemporaryDir& dir) { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden); }

} // namespace

class PlatformTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void temporaryDirectoryIsPrivateAndOnTheCachePath()
    {
        test::ScopedCacheHome home;
        auto directory = Platform::temporaryDirectory();
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
        const QByteArray native = QFile::encodeName(home.path() + QStringLiteral("/vessaro"));
        QTemporaryDir elsewhere;
        if (kind == QStringLiteral("symlink")) {
            QVERIFY(::symlink(QFile::encodeName(elsewhere.path()).constData(), native.constData()) == 0);
        } else if (kind == QStringLiteral("file")) {
            QFile file(QFile::decodeName(native));
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else {
            QVERIFY(::mkdir(native.constData(), 0700) == 0);
            if (kind == QStringLiteral("mode"))
                QVERIFY(::chmod(native.constData(), 0750) == 0);
            else if (::geteuid() != 0 || ::chown(native.constData(), 65534, 65534) != 0)
                QSKIP("changing the owner needs root");
        }
        auto directory = Platform::temporaryDirectory();
        QVERIFY(!directory.ok() && directory.error().platformError());
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

    // A copy, or a replacement of an existing destination in one step, gets the mode of any new file
    // of the user's; a copy never overwrites.
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
        const bool copied = Platform::copyFile(source, copy).ok();
        const bool replacedOk = Platform::replaceFile(source, replaced).ok();
        ::umask(previous);
        QVERIFY(copied && replacedOk);
        for (const QString& made : {copy, replaced}) {
            QCOMPARE(test::readAll(made), QByteArray(200000, 'n'));
            QCOMPARE(modeOf(made), mode_t(0640));
        }
        QVERIFY(!Platform::copyFile(source, copy).ok());
        QCOMPARE(filesIn(dir).size(), 3);  // the source stays, and no staging file is left
        // A new destination works the same way.
        QVERIFY(Platform::replaceFile(source, dir.filePath(QStringLiteral("new.mp4"))).ok());
    }

    void failedReplaceLeavesTheDestinationAlone()
    {
        QTemporaryDir dir;
        const QString kept = dir.filePath(QStringLiteral("kept.mp4"));
        QVERIFY(Platform::writeAtomically("kept", kept).ok());
        // Nothing to read: the copy fails after the destination was chosen.
        QVERIFY(!Platform::replaceFile(dir.filePath(QStringLiteral("missing")), kept).ok());
        QCOMPARE(test::readAll(kept), QByteArray("kept"));
        QCOMPARE(filesIn(dir), QStringList({QStringLiteral("kept.mp4")}));

        // A destination that cannot be written names itself, not the staging file.
        const QString below = kept + QStringLiteral("/x.mp4");
        auto refused = Platform::replaceFile(kept, below);
        QVERIFY(!refused.ok() && refused.error().localizedDescription().contains(below));
        // A folder at the destination is not replaced by a file.
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.mp4")));
        QVERIFY(!Platform::replaceFile(kept, dir.filePath(QStringLiteral("folder.mp4"))).ok());
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("folder.mp4"))).isDir());
        QCOMPARE(filesIn(dir).size(), 1);
    }

    void fileOperationsReportTheFileSystemsError()
    {
        QTemporaryDir dir;
        const QString plainFile = dir.filePath(QStringLiteral("plain"));
        QVERIFY(Platform::writeAtomically("x", plainFile).ok());
        // Root writes through mode bits, but nothing can be created below a regular file.
        const QString below = plainFile + QStringLiteral("/x");
        QCOMPARE(Platform::createDirectory(below).error().platformError()->code(), ENOTDIR);
        QCOMPARE(Platform::writeAtomically("x", below).error().platformError()->code(), ENOTDIR);
        QCOMPARE(Platform::removeItem(dir.filePath(QStringLiteral("missing"))).error().platformError()->code(), ENOENT);
        auto size = Platform::fileSize(dir.filePath(QStringLiteral("missing")));
        QVERIFY(!size.ok() && size.error().localizedDescription().contains(QStringLiteral("missing")));
    }

    void atomicWriteReplacesTheWholeFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("result.json"));
        QVERIFY(Platform::writeAtomically("first version, longer", path).ok());
        QVERIFY(Platform::writeAtomically("second", path).ok());
        QCOMPARE(test::readAll(path), QByteArray("second"));
        QCOMPARE(filesIn(dir).size(), 1);  // no stray temporary
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
        QVERIFY(bytes.indexOf("alpha") < bytes.indexOf("mid") && bytes.indexOf("mid") < bytes.indexOf("zeta"));
        const QJsonObject back = QJsonDocument::fromJson(bytes).object();
        QCOMPARE(back.value(QStringLiteral("alpha")).toDouble(), 3.0000000000000004);
        QCOMPARE(back.value(QStringLiteral("mid")).toArray().at(1).toDouble(), 2.9999999999999996);
    }
};

QTEST_GUILESS_MAIN(PlatformTest)
#include "tst_platform.moc"
