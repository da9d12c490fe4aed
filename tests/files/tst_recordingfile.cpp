#include "base/FileLock.h"
#include "base/Platform.h"
#include "files/RecordingFile.h"
#include "support/FakeMediaWriter.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace vessaro;
using test::readAll;
using test::writeRecording;
using Tracks = Result<QList<int>>;
using Subtypes = Result<QList<std::uint32_t>>;
using Duration = Result<MediaTime>;

namespace {

QString writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return path;
}

QString describe(const Result<RecordingSummary>& result)
{
    if (result.ok())
        return result.value() == RecordingSummary { 1.0, 1 } ? QStringLiteral("ok") : QStringLiteral("other summary");
    const PlatformError* platform = result.error().platformError();
    return platform && platform->code() == ENOENT ? QStringLiteral("ENOENT") : result.error().localizedDescription();
}

void touch(const QString& path, int secondsAgo)
{
    QFile file(path);
    if (file.open(QIODevice::ReadWrite))
        file.setFileTime(QDateTime::currentDateTime().addSecs(-secondsAgo), QFileDevice::FileModificationTime);
}

} // namespace

class RecordingFileTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The checks and their order (tracks, coding, duration, then size), over a reader that answers what the
    // test says. A reader's own error passes through unchanged.
    void checksInOrder_data()
    {
        QTest::addColumn<Tracks>("tracks");
        QTest::addColumn<Subtypes>("subtypes");
        QTest::addColumn<Duration>("duration");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        const Tracks one = QList<int> { 0 };
        const Subtypes alac = QList<std::uint32_t> { kAudioFormatAppleLossless };
        const Duration second = MediaTime { 48000, 48000, true };
        const PlatformError loadError(PlatformError::Source::media, -5, QStringLiteral("I/O"));
        const QString loadText = loadError.localizedDescription();
        const QString noTrack = QStringLiteral("导出的 MP4 中没有音频轨道。");
        const QString notAlac = QStringLiteral("导出的音频轨道不是 Apple Lossless（ALAC）格式。");
        const QString noDuration = QStringLiteral("导出的 MP4 没有有效时长。");
        QTest::newRow("valid") << one << alac << second << QByteArray("x") << "ok";
        QTest::newRow("no audio track, even when empty") << Tracks(QList<int> {}) << Subtypes(QList<std::uint32_t> {})
                                                         << Duration(MediaTime {}) << QByteArray() << noTrack;
        QTest::newRow("other coding, even without duration") << one << Subtypes(QList<std::uint32_t> { 0x6D703461 })
                                                             << Duration(MediaTime {}) << QByteArray() << notAlac;
        QTest::newRow("several descriptions, one ALAC")
            << one << Subtypes(QList<std::uint32_t> { 0x6D703461, kAudioFormatAppleLossless }) << second
            << QByteArray("x") << "ok";
        QTest::newRow("zero duration, even when empty")
            << one << alac << Duration(MediaTime { 0, 48000, true }) << QByteArray() << noDuration;
        QTest::newRow("infinite time") << one << alac << Duration(MediaTime { 0, 1, true, false, true })
                                       << QByteArray("x") << noDuration;
        QTest::newRow("empty file, checked last")
            << one << alac << second << QByteArray() << QStringLiteral("导出的 MP4 是空文件。");
        QTest::newRow("track load error") << Tracks(loadError) << alac << second << QByteArray("x") << loadText;
        QTest::newRow("duration load error") << one << alac << Duration(loadError) << QByteArray("x") << loadText;
        QTest::newRow("no file: the file system's error") << one << alac << second << QByteArray() << "ENOENT";
    }

    void checksInOrder()
    {
        QFETCH(Tracks, tracks);
        QFETCH(Subtypes, subtypes);
        QFETCH(Duration, duration);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("a.mp4"));
        if (expected != QStringLiteral("ENOENT"))
            writeFile(path, bytes);
        const test::FakeMediaAssetOpener opener(
            std::make_shared<test::FakeAssetScript>(test::FakeAssetScript { tracks, subtypes, duration }));
        const auto summary = RecordingFile::validate(path, &opener);
        QCOMPARE(describe(summary), expected);
        QCOMPARE(!summary.ok() && summary.error().recorderError(), expected.startsWith(QStringLiteral("导出")));
    }

    void temporaryLocation()
    {
        test::ScopedCacheHome home;
        auto first = RecordingFile::makeTemporaryPath();
        auto second = RecordingFile::makeTemporaryPath();
        QVERIFY(first.ok() && second.ok() && first.value() != second.value());
        QCOMPARE(QFileInfo(first.value()).absolutePath(), home.recordingsDirectory());
        QVERIFY(!QFile::exists(first.value())); // only the folder is made
        QVERIFY(Platform::isInsideTemporaryDirectory(first.value()));
    }

    // At launch: the newest file nobody holds is locked, repaired and validated; a held file and
    // older leftovers are not touched; a leftover without one whole fragment is removed.
    void newestLeftoverIsRecovered()
    {
        test::ScopedCacheHome home;
        auto held = RecordingFile::createTemporaryFile(); // a running recording's, locked from birth
        QVERIFY(held && !FileLock::tryToLock(held.value().path).value());
        const QDir dir(home.recordingsDirectory());
        const QString older = dir.filePath("recording-older.mp4");
        const QString newest = dir.filePath("recording-newest.mp4");
        const QString empty = dir.filePath("recording-empty.mp4");
        QCOMPARE(writeRecording(held.value().path, 1), test::kFramesPerFragment);
        QCOMPARE(writeRecording(older, 1), test::kFramesPerFragment);
        QCOMPARE(writeRecording(newest, 2), 2 * test::kFramesPerFragment);
        const QByteArray olderBytes = readAll(older);
        const qsizetype moof = olderBytes.indexOf("moof") - 4;
        writeFile(empty, olderBytes.left(moof + 20)); // torn inside the first fragment
        QFile tail(newest); // a torn fragment after the whole ones
        QVERIFY(tail.open(QIODevice::Append) && tail.write(olderBytes.mid(moof, 100)) == 100);
        tail.close();
        touch(held.value().path, 0);
        touch(empty, 60);
        touch(newest, 120);
        touch(older, 3600);
        const QByteArray heldBytes = readAll(held.value().path);

        auto recovered = RecordingFile::recoverNewestLeftover();
        QVERIFY(recovered && recovered->path == newest);
        QCOMPARE(recovered->summary,
            (RecordingSummary { 2.0 * test::kFramesPerFragment / 48000, QFileInfo(newest).size() }));
        QVERIFY(!FileLock::tryToLock(newest).value());
        QVERIFY(!QFile::exists(empty));
        QCOMPARE(readAll(older), olderBytes);
        // Another program starting now finds the next one; the held ones stay held.
        auto next = RecordingFile::recoverNewestLeftover();
        QVERIFY(next && next->path == older);
        QVERIFY(!RecordingFile::recoverNewestLeftover());
        QCOMPARE(readAll(held.value().path), heldBytes);
    }

    void suggestedFilename_data()
    {
        QTest::addColumn<QDateTime>("instant");
        QTest::addColumn<QCalendar>("calendar");
        QTest::addColumn<QTimeZone>("zone");
        QTest::addColumn<QString>("expected");
        const QTimeZone utc(0);
        const QDateTime example(QDate(2026, 12, 5), QTime(8, 52, 29), utc);
        const auto at = [&](int year) { return QDateTime(QDate(year, 6, 5), QTime(4, 3, 2), utc); };
        QTest::newRow("example") << example << QCalendar() << utc << "系统音频 2026-12-05 08.52.29.mp4";
        QTest::newRow("another zone, another day") << example.addSecs(11 * 3600) << QCalendar()
                                                   << QTimeZone("Asia/Shanghai") << "系统音频 2026-12-06 03.52.29.mp4";
        QTest::newRow("Persian calendar")
            << example << QCalendar(QCalendar::System::Jalali) << utc << "系统音频 1405-09-14 08.52.29.mp4";
        QTest::newRow("a year before 1000 keeps four digits")
            << at(987) << QCalendar() << utc << "系统音频 0987-06-05 04.03.02.mp4";
        // As with printf, the width counts the minus sign.
        QTest::newRow("a year before the common era")
            << at(-5) << QCalendar() << utc << "系统音频 -005-06-05 04.03.02.mp4";
        QTest::newRow("a year past 9999 in full")
            << at(12345) << QCalendar() << utc << "系统音频 12345-06-05 04.03.02.mp4";
        QTest::newRow("no calendar fields")
            << example << QCalendar(QCalendar::System::User) << utc << "系统音频 0000-00-00 08.52.29.mp4";
    }

    void suggestedFilename()
    {
        QFETCH(QDateTime, instant);
        QFETCH(QCalendar, calendar);
        QFETCH(QTimeZone, zone);
        QFETCH(QString, expected);
        QCOMPARE(RecordingFile::suggestedFilename(instant, { calendar, zone }), expected);
    }
};

QTEST_GUILESS_MAIN(RecordingFileTest)
#include "tst_recordingfile.moc"
