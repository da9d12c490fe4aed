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
using test::FakeAssetScript;
using test::readAll;
using Tracks = Result<QList<int>>;
using Subtypes = Result<QList<std::uint32_t>>;

namespace {

constexpr std::uint32_t alac = 0x616C6163;
constexpr std::uint32_t aac = 0x6D703461;  // 'mp4a'

const QString kNoTrack = QStringLiteral("导出的 MP4 中没有音频轨道。");
const QString kNotAlac = QStringLiteral("导出的音频轨道不是 Apple Lossless（ALAC）格式。");
const QString kNoDuration = QStringLiteral("导出的 MP4 没有有效时长。");
const QString kEmpty = QStringLiteral("导出的 MP4 是空文件。");

QString describe(const Result<RecordingSummary>& result)
{
    return result.ok() ? QStringLiteral("ok") : result.error().localizedDescription();
}

QString writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return path;
}

void touch(const QString& path, const QDateTime& when)
{
    QFile file(path);
    if (file.open(QIODevice::ReadWrite))
        file.setFileTime(when, QFileDevice::FileModificationTime);
}

Result<MediaTime> duration(std::int64_t value, std::int32_t timescale = 48000, bool valid = true, bool indefinite = false,
                           bool infinite = false)
{
    return MediaTime{value, timescale, valid, indefinite, infinite};
}

} // namespace

class RecordingFileTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The checks and their order, over a reader that answers what the test says.
    void checksInOrder_data()
    {
        QTest::addColumn<Tracks>("tracks");
        QTest::addColumn<Subtypes>("subtypes");
        QTest::addColumn<Result<MediaTime>>("duration");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");

        const Tracks one = QList<int>{0};
        const Subtypes alacOnly = QList<std::uint32_t>{alac};
        const Result<MediaTime> second = duration(48000);
        const QByteArray x("x");
        const PlatformError loadError(PlatformError::Source::media, -5, QStringLiteral("无法读取媒体信息：I/O error"));
        const QString loadText = loadError.localizedDescription();

        QTest::newRow("valid") << one << alacOnly << second << x << "ok";
        QTest::newRow("no audio track, even when empty") << Tracks(QList<int>{}) << alacOnly << second << QByteArray()
                                                         << kNoTrack;
        QTest::newRow("other coding") << one << Subtypes(QList<std::uint32_t>{aac}) << second << x << kNotAlac;
        QTest::newRow("no format description") << one << Subtypes(QList<std::uint32_t>{}) << second << x << kNotAlac;
        QTest::newRow("several descriptions, one ALAC") << one << Subtypes(QList<std::uint32_t>{aac, alac}) << second
                                                        << x << "ok";
        QTest::newRow("zero duration") << one << alacOnly << duration(0) << x << kNoDuration;
        QTest::newRow("negative duration") << one << alacOnly << duration(-1) << x << kNoDuration;
        QTest::newRow("invalid time") << one << alacOnly << duration(48000, 48000, false) << x << kNoDuration;
        QTest::newRow("indefinite time") << one << alacOnly << duration(0, 0, true, true) << x << kNoDuration;
        QTest::newRow("infinite time") << one << alacOnly << duration(0, 1, true, false, true) << x << kNoDuration;
        QTest::newRow("empty file, checked last") << one << alacOnly << second << QByteArray() << kEmpty;
        QTest::newRow("track load error unchanged") << Tracks(loadError) << alacOnly << second << x << loadText;
        QTest::newRow("format load error unchanged") << one << Subtypes(loadError) << second << x << loadText;
        QTest::newRow("duration load error unchanged") << one << alacOnly << Result<MediaTime>(loadError) << x
                                                       << loadText;
    }

    void checksInOrder()
    {
        QFETCH(Tracks, tracks);
        QFETCH(Subtypes, subtypes);
        QFETCH(Result<MediaTime>, duration);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        auto script = std::make_shared<FakeAssetScript>(FakeAssetScript{tracks, subtypes, duration, {}});
        const test::FakeMediaAssetOpener opener(script);
        const auto summary = RecordingFile::validate(writeFile(dir.filePath(QStringLiteral("a.mp4")), bytes), &opener);
        QCOMPARE(describe(summary), expected);
        if (summary.ok())
            QCOMPARE(summary.value(), (RecordingSummary{1.0, 1}));
        // A media-layer error is never turned into one of the recorder's messages.
        QCOMPARE(!summary.ok() && !summary.error().recorderError(), expected.startsWith(QStringLiteral("无法读取")));
    }

    void sizeErrorIsTheFileSystemsOwn()
    {
        QTemporaryDir dir;
        const test::FakeMediaAssetOpener opener(std::make_shared<FakeAssetScript>());
        const auto summary = RecordingFile::validate(dir.filePath(QStringLiteral("gone.mp4")), &opener);
        QVERIFY(!summary.ok() && summary.error().platformError());
        QCOMPARE(summary.error().platformError()->code(), ENOENT);
    }

    // Real files through the platform's reader: our own recording, and one whose first audio
    // track is not ALAC although its second is; only the first counts.
    void realFiles()
    {
        QTemporaryDir dir;
        const QString ours = dir.filePath(QStringLiteral("ours.mp4"));
        QCOMPARE(test::writeRecording(ours, 1, true), test::kFramesPerFragment);
        QCOMPARE(RecordingFile::validate(ours).value(),
                 (RecordingSummary{double(test::kFramesPerFragment) / 48000, QFileInfo(ours).size()}));
        const QString mixed = dir.filePath(QStringLiteral("mixed.mp4"));
        QVERIFY(test::runFfmpeg(QStringLiteral("-f lavfi -i sine=d=1 -f lavfi -i sine=d=1 -map 0 -map 1 -c:a:0 aac "
                                               "-c:a:1 alac"),
                                mixed));
        QCOMPARE(describe(RecordingFile::validate(mixed)), kNotAlac);
    }

    void temporaryLocation()
    {
        test::ScopedCacheHome home;
        auto first = RecordingFile::makeTemporaryPath();
        auto second = RecordingFile::makeTemporaryPath();
        QVERIFY(first.ok() && second.ok());
        QVERIFY(first.value() != second.value());
        QCOMPARE(QFileInfo(first.value()).absolutePath(), home.recordingsDirectory());
        QVERIFY(!QFile::exists(first.value()));  // only the folder is made
        QVERIFY(Platform::isInsideTemporaryDirectory(first.value()));
        QCOMPARE(RecordingFile::alacSettings(), (AudioOutputSettings{alac, 48000, 2, 24}));
    }

    // At launch: the newest file nobody holds is locked, repaired and validated; a held file and
    // older leftovers are not touched; a leftover without one whole fragment is removed.
    void newestLeftoverIsRecovered()
    {
        test::ScopedCacheHome home;
        auto held = RecordingFile::createTemporaryFile();  // a running recording's, locked from birth
        QVERIFY(held && !FileLock::tryToLock(held.value().path).value());
        const QDir dir(home.recordingsDirectory());
        QCOMPARE(dir.entryList(QDir::Files | QDir::Hidden), QStringList{QFileInfo(held.value().path).fileName()});
        const QString older = dir.filePath("recording-older.mp4");
        const QString newest = dir.filePath("recording-newest.mp4");
        const QString empty = dir.filePath("recording-empty.mp4");
        QCOMPARE(test::writeRecording(held.value().path, 1), test::kFramesPerFragment);
        QCOMPARE(test::writeRecording(older, 1), test::kFramesPerFragment);
        QCOMPARE(test::writeRecording(newest, 2), 2 * test::kFramesPerFragment);
        const QByteArray olderBytes = readAll(older);
        const qsizetype moof = olderBytes.indexOf("moof") - 4;
        writeFile(empty, olderBytes.left(moof + 20));  // torn inside the first fragment
        QFile tail(newest);  // a torn fragment after the whole ones
        QVERIFY(tail.open(QIODevice::Append) && tail.write(olderBytes.mid(moof, 100)) == 100);
        tail.close();
        const QDateTime now = QDateTime::currentDateTime();
        touch(held.value().path, now);
        touch(empty, now.addSecs(-60));
        touch(newest, now.addSecs(-120));
        touch(older, now.addSecs(-3600));
        const QByteArray heldBytes = readAll(held.value().path);

        auto recovered = RecordingFile::recoverNewestLeftover();
        QVERIFY(recovered);
        QCOMPARE(recovered->path, newest);
        QCOMPARE(recovered->summary, (RecordingSummary{2.0 * test::kFramesPerFragment / 48000, QFileInfo(newest).size()}));
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
        const auto at = [&](QDate date, QTime time) { return QDateTime(date, time, utc); };
        QTest::newRow("example") << example << QCalendar() << utc << "系统音频 2026-12-05 08.52.29.mp4";
        QTest::newRow("another zone, another day") << at(QDate(2026, 12, 5), QTime(20, 0, 1)) << QCalendar()
                                                   << QTimeZone("Asia/Shanghai") << "系统音频 2026-12-06 04.00.01.mp4";
        QTest::newRow("midnight") << at(QDate(2027, 1, 1), QTime(0, 0)) << QCalendar() << utc
                                  << "系统音频 2027-01-01 00.00.00.mp4";
        QTest::newRow("Persian calendar") << example << QCalendar(QCalendar::System::Jalali) << utc
                                          << "系统音频 1405-09-14 08.52.29.mp4";
        QTest::newRow("a year before 1000 keeps four digits")
            << at(QDate(987, 6, 5), QTime(4, 3, 2)) << QCalendar() << utc << "系统音频 0987-06-05 04.03.02.mp4";
        // As with printf, the width counts the minus sign.
        QTest::newRow("a year before the common era")
            << at(QDate(-5, 6, 5), QTime(4, 3, 2)) << QCalendar() << utc << "系统音频 -005-06-05 04.03.02.mp4";
        QTest::newRow("a year past 9999 in full")
            << at(QDate(12345, 6, 7), QTime(1, 2, 3)) << QCalendar() << utc << "系统音频 12345-06-07 01.02.03.mp4";
        QTest::newRow("no calendar fields") << example << QCalendar(QCalendar::System::User) << utc
                                            << "系统音频 0000-00-00 08.52.29.mp4";
    }

    void suggestedFilename()
    {
        QFETCH(QDateTime, instant);
        QFETCH(QCalendar, calendar);
        QFETCH(QTimeZone, zone);
        QFETCH(QString, expected);
        QCOMPARE(RecordingFile::suggestedFilename(instant, {calendar, zone}), expected);
    }
};

QTEST_GUILESS_MAIN(RecordingFileTest)
#include "tst_recordingfile.moc"
