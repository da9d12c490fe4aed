#include "base/FileLock.h"
#include "base/Platform.h"
#include "base/SystemErrorText.h"
#include "support/ScopedTmpfs.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cstddef>
#include <thread>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace vessaro;

class PlatformTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Made private on the cache path; anything already there that is not a private directory of ours is refused, never
    // followed.
    void temporaryDirectoryIsPrivate()
    {
        for (const QString kind : { "made fresh", "symlink to a directory", "group-readable" }) {
            test::ScopedCacheHome home;
            const QString path = home.path() + QStringLiteral("/vessaro");
            const QByteArray native = QFile::encodeName(path);
            QTemporaryDir elsewhere;
            if (kind.startsWith(QStringLiteral("symlink")))
                QVERIFY(::symlink(QFile::encodeName(elsewhere.path()).constData(), native.constData()) == 0);
            else if (kind.startsWith(QStringLiteral("group")))
                QVERIFY(::mkdir(native.constData(), 0750) == 0);
            auto directory = Platform::temporaryDirectory();
            struct stat info { };
            QVERIFY2(directory.ok() == kind.startsWith(QStringLiteral("made")), qPrintable(kind));
            QVERIFY(!directory
                || (directory.value() == path && ::stat(native.constData(), &info) == 0
                    && (info.st_mode & 07777) == 0700));
            QVERIFY(QDir(elsewhere.path()).isEmpty());
        }
    }

    void insideDirectoryComparesWholeComponents()
    {
        for (const auto& [path, directory, inside] : { std::tuple("/tmp/a.mp4", "/tmp", true),
                 { "/tmp/x/y/a.mp4", "/tmp/", true }, { "/tmp2/a.mp4", "/tmp", false }, { "/tmp", "/tmp", false },
                 { "/tmp/../etc/passwd", "/tmp", false }, { "tmp/a.mp4", "/tmp", false } })
            QVERIFY2(Platform::isInsideDirectory(path, directory) == inside, path);
    }

    // Two devices may number their files alike: the same number on another device is another file.
    void sameFileAcrossDevices()
    {
        QTemporaryDir dir;
        const auto at = [&](const char* name) { return dir.filePath(QString::fromLatin1(name)); };
        const test::ScopedTmpfs a(at("a"), test::ScopedTmpfs::Access::readWrite);
        const test::ScopedTmpfs b(at("b"), test::ScopedTmpfs::Access::readWrite);
        if (!a.isMounted() || !b.isMounted())
            QSKIP("mounting a tmpfs needs root");
        QVERIFY(
            test::writeFile(at("a/x"), "a") && test::writeFile(at("b/x"), "b") && QFile::link(at("a/x"), at("a/link")));
        QVERIFY(Platform::isSameFile(at("a/x"), at("a/link")) && !Platform::isSameFile(at("a/x"), at("b/x")));
    }

    // Exporting replaces the destination in one step and syncs its folder; a failure leaves it alone. Stale staging
    // copies of that name are swept, not a running export's (locked), nor a file not named as ours.
    void replaceFile()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("source"));
        const QString replaced = dir.filePath(QStringLiteral("old recording.mp4"));
        const QString part = dir.filePath(QStringLiteral(".old recording.mp4.%1.part"));
        QVERIFY(Platform::writeAtomically(QByteArray(200000, 'n'), source).ok());
        QVERIFY(Platform::writeAtomically("old", replaced).ok());
        const QString held = part.arg(Platform::uuidString());
        auto running = FileLock::createNew(held);
        QVERIFY(running && test::writeFile(part.arg(Platform::uuidString()), {})
            && test::writeFile(part.arg(QStringLiteral("unfinished")), "x"));
        QVERIFY(!Platform::replaceFile(dir.filePath(QStringLiteral("missing")), replaced).ok());
        QCOMPARE(test::readAll(replaced), QByteArray("old"));
        // A folder is not replaced by a file; the system's refusal is told in our words.
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.mp4")));
        const auto onFolder = Platform::replaceFile(source, dir.filePath(QStringLiteral("folder.mp4")));
        QVERIFY(
            onFolder.error().localizedDescription().endsWith(QStringLiteral("：") + SystemErrorText::describe(EISDIR)));

        // An export in progress, its source a pipe that has given it part of the bytes, while another sweeps.
        const QString pipe = dir.filePath(QStringLiteral("pipe"));
        QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
        Result<void> slow;
        std::thread exporting([&] { slow = Platform::replaceFile(pipe, replaced); });
        QFile feed(pipe);
        QVERIFY(feed.open(QIODevice::WriteOnly) && feed.write("slow ") == 5 && feed.flush());
        QTRY_COMPARE(
            QDir(dir.path()).entryInfoList({ ".old*.part" }, QDir::Files | QDir::Hidden, QDir::Size)[0].size(), 5);
        QVERIFY(Platform::replaceFile(source, replaced).ok());
        QVERIFY(feed.write("export") == 6);
        feed.close();
        exporting.join();
        QVERIFY(slow.ok());
        QCOMPARE(test::readAll(replaced), QByteArray("slow export"));

        // A folder that cannot be opened cannot be synced: the export fails although the file is in place.
        Result<void> unsynced;
        std::thread([&] {
            sock_filter code[] = {
                { BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(seccomp_data, nr) },
                { BPF_JMP | BPF_JEQ | BPF_K, 0, 3, __NR_openat },
                { BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(seccomp_data, args[2]) },
                { BPF_JMP | BPF_JSET | BPF_K, 0, 1, O_DIRECTORY },
                { BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ERRNO | EIO },
                { BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW },
            };
            const sock_fprog program { sizeof code / sizeof code[0], code };
            if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
                && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0)
                unsynced = Platform::replaceFile(source, dir.filePath(QStringLiteral("synced.mp4")));
        }).join();
        QCOMPARE(unsynced ? 0 : unsynced.error().platformError()->code(), EIO);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
            QStringList({ QFileInfo(held).fileName(), ".old recording.mp4.unfinished.part", "old recording.mp4",
                "source", "synced.mp4" }));
    }
};

QTEST_GUILESS_MAIN(PlatformTest)
#include "tst_platform.moc"
