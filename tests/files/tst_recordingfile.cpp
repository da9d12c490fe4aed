#include "base/FileLock.h"
#include "base/Platform.h"
#include "files/RecordingFile.h"
#include "support/FakeMediaWriter.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

using namespace vessaro;
using test::FakeAssetScript;

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

bool ffmpeg(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("ffmpeg"), QStringList{"-v", "error", "-y"} + arguments);
    return process.waitForFinished(60000) && process.exitCode() == 0;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void touch(const QString& path, const QDateTime& when)
{
    QFile file(path);
    if (file.open(QIODevice::ReadWrite))
        file.setFileTime(when, QFileDevice::FileModificationTime);
}

MediaTime seconds(std::int64_t value, std::int32_t timescale) { return MediaTime{value, timescale, true}; }

} // namespace

class RecordingFileTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The checks and their order, over a reader that answers what the test says.
    void checksInOrder_data()
    {
        QTest::addColumn<Result<QList<int>>>("tracks");
        QTest::addColumn<Result<QList<std::uint32_t>>>("subtypes");
        QTest::addColumn<Result<MediaTime>>("duration");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");

        const Result<QList<int>> oneTrack = QList<int>{0};
        const Result<QList<std::uint32_t>> alacOnly = QList<std::uint32_t>{alac};
        const Result<MediaTime> oneSecond = seconds(48000, 48000);
        const QByteArray content("x");
        const PlatformError loadError(PlatformError::Source::media, -5, QStringLiteral("无法读取媒体信息：I/O error"));

        QTest::newRow("valid") << oneTrack << alacOnly << oneSecond << content << "ok";
        QTest::newRow("no audio track, even when empty") << Result<QList<int>>(QList<int>{}) << alacOnly << oneSecond
                                                         << QByteArray() << kNoTrack;
        QTest::newRow("other coding") << oneTrack << Result<QList<std::uint32_t>>(QList<std::uint32_t>{aac}) << oneSecond
                                      << content << kNotAlac;
        QTest::newRow("no format description") << oneTrack << Result<QList<std::uint32_t>>(QList<std::uint32_t>{})
                                               << oneSecond << content << kNotAlac;
        QTest::newRow("several descriptions, one ALAC")
            << oneTrack << Result<QList<std::uint32_t>>(QList<std::uint32_t>{aac, alac}) << oneSecond << content << "ok";
        QTest::newRow("zero duration") << oneTrack << alacOnly << Result<MediaTime>(seconds(0, 48000)) << content
                                       << kNoDuration;
        QTest::newRow("negative duration") << oneTrack << alacOnly << Result<MediaTime>(seconds(-1, 48000)) << content
                                           << kNoDuration;
        QTest::newRow("invalid time") << oneTrack << alacOnly << Result<MediaTime>(MediaTime{48000, 48000, false})
                                      << content << kNoDuration;
        QTest::newRow("indefinite time")
            << oneTrack << alacOnly << Result<MediaTime>(MediaTime{0, 0, true, true}) << content << kNoDuration;
        QTest::newRow("infinite time")
            << oneTrack << alacOnly << Result<MediaTime>(MediaTime{0, 1, true, false, true}) << content << kNoDuration;
        QTest::newRow("empty file, checked last") << oneTrack << alacOnly << oneSecond << QByteArray() << kEmpty;
        QTest::newRow("track load error unchanged") << Result<QList<int>>(loadError) << alacOnly << oneSecond << content
                                                    << loadError.localizedDescription();
        QTest::newRow("format load error unchanged")
            << oneTrack << Result<QList<std::uint32_t>>(loadError) << oneSecond << content << loadError.localizedDescription();
        QTest::newRow("duration load error unchanged") << oneTrack << alacOnly << Result<MediaTime>(loadError) << content
                                                       << loadError.localizedDescription();
    }

    void checksInOrder()
    {
        QFETCH(Result<QList<int>>, tracks);
        QFETCH(Result<QList<std::uint32_t>>, subtypes);
        QFETCH(Result<MediaTime>, duration);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString path = writeFile(dir.filePath(QStringLiteral("a.mp4")), bytes);
        auto script = std::make_shared<FakeAssetScript>();
        script->tracks = tracks;
        script->subtypes = subtypes;
        script->duration = duration;
        const test::FakeMediaAssetOpener opener(script);
        const auto summary = RecordingFile::validate(path, &opener);
        QCOMPARE(describe(summary), expected);
        if (summary.ok())
            QCOMPARE(summary.value(), (RecordingSummary{1.0, 1}));
        // A media-layer error is never turned into one of the recorder's messages.
        if (!summary.ok() && expected.startsWith(QStringLiteral("无法读取")))
            QVERIFY(!summary.error().recorderError());
    }

    void sizeErrorIsTheFileSystemsOwn()
    {
        QTemporaryDir dir;
        const test::FakeMediaAssetOpener opener(std::make_shared<FakeAssetScript>());
        const auto summary = RecordingFile::validate(dir.filePath(QStringLiteral("gone.mp4")), &opener);
        QVERIFY(!summary.ok());
        QVERIFY(summary.error().platformError());
        QCOMPARE(summary.error().platformError()->source(), PlatformError::Source::fileSystem);
    }

    // Real files, made by the ffmpeg program, through the real reader.
    void realFiles_data()
    {
        QTest::addColumn<QStringList>("make");
        QTest::addColumn<QString>("expected");
        const QStringList tone{"-f", "lavfi", "-i", "sine=frequency=440:duration=1.5:sample_rate=44100"};
        QTest::newRow("ALAC") << tone + QStringList{"-c:a", "alac", "%1"} << "ok";
        QTest::newRow("linear PCM") << tone + QStringList{"-c:a", "pcm_s16le", "-f", "mov", "%1"} << kNotAlac;
        QTest::newRow("AAC") << tone + QStringList{"-c:a", "aac", "%1"} << kNotAlac;
        QTest::newRow("video only") << QStringList{"-f", "lavfi", "-i", "color=size=32x32:duration=1", "-c:v", "mpeg4", "%1"}
                                    << kNoTrack;
        QTest::newRow("first track AAC, second ALAC")
            << tone + QStringList{"-f", "lavfi", "-i", "sine=frequency=220:duration=1.5", "-map", "0:a", "-map", "1:a",
                                  "-c:a:0", "aac", "-c:a:1", "alac", "%1"}
            << kNotAlac;
    }

    void realFiles()
    {
        QFETCH(QStringList, make);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("made.mp4"));
        make.replaceInStrings(QStringLiteral("%1"), path);
        QVERIFY(ffmpeg(make));
        const auto summary = RecordingFile::validate(path);
        QCOMPARE(describe(summary), expected);
        if (summary.ok()) {
            QCOMPARE(summary.value().duration, 66150.0 / 44100.0);
            QCOMPARE(summary.value().fileSize, QFileInfo(path).size());
            // The same unchanged file measures the same twice.
            QCOMPARE(RecordingFile::validate(path).value(), summary.value());
        }
    }

    void unreadableFilesReportTheMediaLayersError_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("zero length") << QByteArray();
        QTest::newRow("not media") << QByteArray("this is a text file, not an MPEG-4 one\n").repeated(50);
    }

    void unreadableFilesReportTheMediaLayersError()
    {
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        const auto summary = RecordingFile::validate(writeFile(dir.filePath(QStringLiteral("bad.mp4")), bytes));
        QVERIFY(!summary.ok());
        QVERIFY(summary.error().platformError());
    }

    void truncatedFileFails()
    {
        QTemporaryDir dir;
        const QString whole = dir.filePath(QStringLiteral("whole.mp4"));
        QVERIFY(ffmpeg({"-f", "lavfi", "-i", "sine=duration=2", "-c:a", "alac", whole}));
        QFile file(whole);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString truncated = writeFile(dir.filePath(QStringLiteral("cut.mp4")), file.read(file.size() / 3));
        QVERIFY(!RecordingFile::validate(truncated).ok());
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
        QCOMPARE(test::writeUnfinishedRecording(held.value().path, 1), test::kFramesPerFragment);
        QCOMPARE(test::writeUnfinishedRecording(older, 1), test::kFramesPerFragment);
        QCOMPARE(test::writeUnfinishedRecording(newest, 2), 2 * test::kFramesPerFragment);
        writeFile(empty, readAll(newest).left(2000));  // cut inside the first fragment
        QFile tail(newest);  // a torn fragment after the whole ones
        QVERIFY(tail.open(QIODevice::Append) && tail.write(readAll(older).right(3000)) == 3000);
        tail.close();
        const QDateTime now = QDateTime::currentDateTime();
        touch(held.value().path, now);
        touch(empty, now.addSecs(-60));
        touch(newest, now.addSecs(-120));
        touch(older, now.addSecs(-3600));
        const QByteArray heldBytes = readAll(held.value().path);
        const QByteArray olderBytes = readAll(older);

        auto recovered = RecordingFile::recoverNewestLeftover();
        QVERIFY(recovered);
        QCOMPARE(recovered->path, newest);
        QCOMPARE(recovered->summary, (RecordingSummary{2.0 * test::kFramesPerFragment / 48000, QFileInfo(newest).size()}));
        QVERIFY(!FileLock::tryToLock(newest).value());
        QVERIFY(!QFile::exists(empty));
        QCOMPARE(readAll(held.value().path), heldBytes);
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
        const QTimeZone shanghai("Asia/Shanghai");
        const QDateTime example(QDate(2026, 12, 5), QTime(8, 52, 29), utc);
        QTest::newRow("example") << example << QCalendar() << utc << "系统音频 2026-12-05 08.52.29.mp4";
        QTest::newRow("another zone, another day")
            << QDateTime(QDate(2026, 12, 5), QTime(20, 0, 1), utc) << QCalendar() << shanghai
            << "系统音频 2026-12-06 04.00.01.mp4";
        QTest::newRow("midnight") << QDateTime(QDate(2027, 1, 1), QTime(0, 0, 0), utc) << QCalendar() << utc
                                  << "系统音频 2027-01-01 00.00.00.mp4";
        QTest::newRow("a second before") << QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59), utc) << QCalendar() << utc
                                         << "系统音频 2026-12-31 23.59.59.mp4";
        QTest::newRow("Persian calendar") << example << QCalendar(QCalendar::System::Jalali) << utc
                                          << "系统音频 1405-09-14 08.52.29.mp4";
        QTest::newRow("a year before 1000 keeps four digits")
            << QDateTime(QDate(987, 6, 5), QTime(4, 3, 2), utc) << QCalendar() << utc << "系统音频 0987-06-05 04.03.02.mp4";
        QTest::newRow("a year past 9999 in full")
            << QDateTime(QDate(12345, 6, 7), QTime(1, 2, 3), utc) << QCalendar() << utc << "系统音频 12345-06-07 01.02.03.mp4";
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
