#include "base/AudioStreamBasicDescription.h"
#include "media/FfmpegMediaAssetOpener.h"

extern "C" {
#include <libavutil/log.h>
}

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace vessaro;
using Codes = QList<std::uint32_t>;

class TestFfmpegMediaAsset : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        av_log_set_level(AV_LOG_QUIET);  // the broken files below are broken on purpose
        const std::pair<const char*, const char*> made[] = {
            {"alac.mp4", "-f lavfi -i sine=r=44100:d=1.5 -c:a alac"},
            {"pcm.mov", "-f lavfi -i sine=r=48000:d=2 -c:a pcm_s16le"},
            {"pcm.wav", "-f lavfi -i sine=r=48000:d=1 -c:a pcm_s16le"},
            {"aac.mp4", "-f lavfi -i sine=r=48000:d=1 -c:a aac"},
            {"video.mp4", "-f lavfi -i testsrc=duration=1:size=64x64:rate=10 -c:v mpeg4"},
            {"two-tracks.mp4", "-f lavfi -i sine=d=1 -f lavfi -i sine=d=3 -map 0 -map 1 -c:a:0 aac -c:a:1 alac"},
        };
        for (const auto& [name, arguments] : made)
            QVERIFY2(make(name, arguments), name);
        QFile alac(file(QStringLiteral("alac.mp4")));
        QVERIFY(alac.open(QIODevice::ReadOnly));
        QVERIFY(make("empty.mp4", nullptr));
        QVERIFY(make("truncated.mp4", nullptr, alac.readAll().left(alac.size() / 2)));  // loses the index at the end
        QVERIFY(make("notes.mp4", nullptr, QByteArray("Plain text, not media.\n").repeated(200)));
    }

    void readsTracks_data()
    {
        // Each row's name is its file's.
        QTest::addColumn<Codes>("subtypes");  // of each audio track, numbered from 0
        QTest::addColumn<double>("seconds");
        QTest::addColumn<int>("exactTimescale");  // 0: compare seconds only
        QTest::newRow("alac.mp4") << Codes{kAudioFormatAppleLossless} << 1.5 << 44100;
        QTest::newRow("pcm.mov") << Codes{fourCharCode("sowt")} << 2.0 << 48000;
        QTest::newRow("pcm.wav") << Codes{fourCharCode("sowt")} << 1.0 << 0;
        QTest::newRow("aac.mp4") << Codes{fourCharCode("mp4a")} << 1.0 << 0;
        QTest::newRow("video.mp4") << Codes{} << 1.0 << 0;
        QTest::newRow("two-tracks.mp4") << Codes{fourCharCode("mp4a"), kAudioFormatAppleLossless} << 3.0 << 0;
    }

    void readsTracks()
    {
        QFETCH(Codes, subtypes);
        QFETCH(double, seconds);
        QFETCH(int, exactTimescale);
        const auto asset = FfmpegMediaAssetOpener().open(file(QString::fromLatin1(QTest::currentDataTag())));
        QVERIFY(asset);
        const auto tracks = asset->loadAudioTracks();
        QVERIFY(tracks);
        QCOMPARE(tracks.value().size(), subtypes.size());
        for (qsizetype i = 0; i < subtypes.size(); ++i) {
            QCOMPARE(tracks.value()[i], int(i));
            QCOMPARE(asset->loadFormatDescriptionSubtypes(int(i)).value(), Codes{subtypes[i]});
        }
        const auto duration = asset->loadDuration();
        QVERIFY(duration && duration.value().isValid);
        QCOMPARE_LT(std::abs(duration.value().seconds() - seconds), 0.05);
        if (exactTimescale != 0) {
            QCOMPARE(duration.value().timescale, exactTimescale);
            QCOMPARE(duration.value().value, qint64(seconds * exactTimescale));
        }
    }

    void unreadableFilesGivePlatformErrors_data()
    {
        QTest::addColumn<QString>("name");
        for (const char* name : {"empty.mp4", "truncated.mp4", "notes.mp4", "missing.mp4"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    void unreadableFilesGivePlatformErrors()
    {
        QFETCH(QString, name);
        const auto asset = FfmpegMediaAssetOpener().open(file(name));
        QVERIFY(asset);
        const auto tracks = asset->loadAudioTracks();
        QVERIFY(!tracks);
        const PlatformError* platform = tracks.error().platformError();
        QVERIFY(platform && platform->source() == PlatformError::Source::media && platform->code() < 0
                && !platform->localizedDescription().isEmpty());
        // Every load reports the same error.
        QCOMPARE(asset->loadFormatDescriptionSubtypes(0).error(), tracks.error());
        QCOMPARE(asset->loadDuration().error(), tracks.error());
    }

private:
    QString file(const QString& name) const { return m_dir.filePath(name); }
    // Writes `bytes`, or when `ffmpegArguments` are given, runs the ffmpeg program with them.
    bool make(const char* name, const char* ffmpegArguments, const QByteArray& bytes = {}) const
    {
        const QString path = file(QString::fromLatin1(name));
        if (!ffmpegArguments) {
            QFile out(path);
            return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size();
        }
        QProcess process;
        const QString arguments = QStringLiteral("-nostdin -loglevel error -y ") + QString::fromLatin1(ffmpegArguments);
        process.start(QStringLiteral("ffmpeg"), arguments.split(QLatin1Char(' ')) << path);
        return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && !process.exitCode();
    }
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestFfmpegMediaAsset)
#include "tst_ffmpegmediaasset.moc"
