#include "base/FileLock.h"
#include "files/RecordingFile.h"
#include "support/FakeMediaWriter.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace vessaro;
using test::readAll;
using test::writeFile;
using test::writeRecording;
using Tracks = Result<QList<int>>;
using Subtypes = Result<QList<std::uint32_t>>;
using Duration = Result<MediaTime>;

namespace {

QString describe(const Result<RecordingSummary>& result)
{
    if (result.ok())
        return result.value() == RecordingSummary { 1.0, 1 } ? QStringLiteral("ok") : QStringLiteral("other summary");
    return result.error().localizedDescription();
}

} // namespace

class RecordingFileTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The checks and their order (tracks, coding, duration, then size), over a reader that answers what the test says.
    // A reader's own error passes through unchanged.
    void checksInOrder()
    {
        const Tracks one = QList<int> { 0 };
        const Subtypes alac = QList<std::uint32_t> { kAudioFormatAppleLossless };
        const Duration second = MediaTime { 48000, 48000, true }, none = MediaTime {};
        const PlatformError loadError(PlatformError::Source::media, -5, QStringLiteral("I/O"));
        const std::tuple<Tracks, Subtypes, Duration, QByteArray, QString> cases[] = {
            { one, alac, second, "x", "ok" },
            { QList<int> {}, QList<std::uint32_t> {}, none, {}, "导出的 MP4 中没有音频轨道。" }, // even when empty
            { one, QList<std::uint32_t> { 0x6D703461 }, none, {}, "导出的音频轨道不是 Apple Lossless（ALAC）格式。" },
            { one, alac, MediaTime { 0, 48000, true }, {}, "导出的 MP4 没有有效时长。" }, // even when empty
            { one, alac, second, {}, "导出的 MP4 是空文件。" }, // checked last
            { loadError, alac, second, "x", loadError.localizedDescription() },
        };
        for (const auto& [tracks, subtypes, duration, bytes, expected] : cases) {
            QTemporaryDir dir;
            const QString path = dir.filePath(QStringLiteral("a.mp4"));
            QVERIFY(writeFile(path, bytes));
            const test::FakeMediaAssetOpener opener(
                std::make_shared<test::FakeAssetScript>(test::FakeAssetScript { tracks, subtypes, duration }));
            const auto summary = RecordingFile::validate(path, &opener);
            QCOMPARE(describe(summary), expected);
            QCOMPARE(!summary.ok() && summary.error().recorderError(), expected.startsWith(QStringLiteral("导出")));
        }
    }

    // At launch: every file nobody holds is repaired and validated, newest first; a failure does not stop the rest.
    // Held files are not touched, ones proved to hold no audio are removed, the others moved aside.
    void leftoversAreRecovered()
    {
        test::ScopedCacheHome home;
        auto held = RecordingFile::createTemporaryFile();
        QVERIFY(held && !FileLock::tryToLock(held.value().path).value());
        const QDir dir(home.recordingsDirectory());
        const QString older = dir.filePath("recording-older.mp4");
        const QString newest = dir.filePath("recording-newest.mp4");
        const QString empty = dir.filePath("recording-empty.mp4");
        const QString garbage = dir.filePath("recording-garbage.mp4");
        const QString otherCoding = dir.filePath("recording-other-coding.mp4");
        auto naming = FileLock::createNew(dir.filePath(".recording-being-named.mp4"));
        QCOMPARE(writeRecording(held.value().path, 1), test::kFramesPerFragment);
        QCOMPARE(writeRecording(older, 1), test::kFramesPerFragment);
        QCOMPARE(writeRecording(newest, 2), 2 * test::kFramesPerFragment);
        const QByteArray olderBytes = readAll(older);
        const qsizetype moof = olderBytes.indexOf("moof") - 4;
        QVERIFY(writeFile(empty, olderBytes.left(moof + 20))); // torn inside the first fragment
        QVERIFY(writeFile(newest, readAll(newest) + olderBytes.mid(moof, 100))); // a torn fragment after the whole ones
        QVERIFY(
            writeFile(garbage, "not a recording") && writeFile(dir.filePath(".recording-crashed.mp4"), {}) && naming);
        QVERIFY(writeFile(otherCoding, QByteArray(olderBytes).replace("alac", "alaw")));
        for (const auto& [path, age] : { std::pair(held.value().path, 0), { garbage, 10 }, { otherCoding, 20 },
                 { empty, 60 }, { newest, 120 }, { older, 3600 } }) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite)
                && file.setFileTime(QDateTime::currentDateTime().addSecs(-age), QFileDevice::FileModificationTime));
        }
        const QByteArray heldBytes = readAll(held.value().path);

        const auto recovered = RecordingFile::recoverLeftovers();
        QVERIFY(recovered.size() == 2 && recovered[0].path == newest && recovered[1].path == older);
        QCOMPARE(recovered[0].summary,
            (RecordingSummary { 2.0 * test::kFramesPerFragment / 48000, QFileInfo(newest).size() }));
        QVERIFY(!FileLock::tryToLock(newest).value() && !FileLock::tryToLock(older).value());
        QCOMPARE(readAll(garbage + ".damaged"), QByteArray("not a recording"));
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden),
            QStringList({ ".recording-being-named.mp4", QFileInfo(held.value().path).fileName(),
                "recording-garbage.mp4.damaged", "recording-newest.mp4", "recording-older.mp4",
                "recording-other-coding.mp4.damaged" }));
        QCOMPARE(readAll(held.value().path), heldBytes);
    }

    void suggestedFilename()
    {
        const QTimeZone utc(0);
        const QDateTime example(QDate(2026, 12, 5), QTime(8, 52, 29), utc);
        const auto at = [&](int year) { return QDateTime(QDate(year, 6, 5), QTime(4, 3, 2), utc); };
        // A year before 1000 keeps four digits; as with printf, the width counts the minus sign.
        for (const auto& [instant, zone, expected] : { std::tuple(example, utc, "系统音频 2026-12-05 08.52.29.mp4"),
                 { example.addSecs(11 * 3600), QTimeZone("Asia/Shanghai"), "系统音频 2026-12-06 03.52.29.mp4" },
                 { at(987), utc, "系统音频 0987-06-05 04.03.02.mp4" },
                 { at(-5), utc, "系统音频 -005-06-05 04.03.02.mp4" } })
            QCOMPARE(RecordingFile::suggestedFilename(instant, { QCalendar(), zone }), QString::fromUtf8(expected));
    }
};

QTEST_GUILESS_MAIN(RecordingFileTest)
#include "tst_recordingfile.moc"
