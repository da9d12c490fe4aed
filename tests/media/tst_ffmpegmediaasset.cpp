#include "media/FfmpegMediaAssetOpener.h"
#include "support/TestSupport.h"

extern "C" {
#include <libavutil/log.h>
}

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace vessaro;
using Codes = QList<std::uint32_t>;

class TestFfmpegMediaAsset : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { av_log_set_level(AV_LOG_QUIET); } // the broken files below are broken on purpose

    void readsTracks_data()
    {
        QTest::addColumn<QString>("ffmpeg");
        QTest::addColumn<Codes>("subtypes"); // of each audio track, numbered from 0
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<int>("timescale"); // 0: compare milliseconds only
        QTest::newRow("alac.mp4") << "-f lavfi -i sine=r=44100:d=1.5 -c:a alac" << Codes { kAudioFormatAppleLossless }
                                  << 1500LL << 44100;
        QTest::newRow("pcm.wav") << "-f lavfi -i sine=r=48000:d=1 -c:a pcm_s16le" << Codes { fourCharCode("sowt") }
                                 << 1000LL << 0;
        QTest::newRow("video.mp4") << "-f lavfi -i testsrc=duration=1:size=64x64:rate=10 -c:v mpeg4" << Codes {}
                                   << 1000LL << 0;
        QTest::newRow("two-tracks.mp4")
            << "-f lavfi -i sine=d=1 -f lavfi -i sine=d=3 -map 0 -map 1 -c:a:0 aac -c:a:1 alac"
            << Codes { fourCharCode("mp4a"), kAudioFormatAppleLossless } << 3000LL << 0;
    }

    void readsTracks()
    {
        QFETCH(QString, ffmpeg);
        QFETCH(Codes, subtypes);
        QFETCH(qint64, ms);
        QFETCH(int, timescale);
        const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(test::runFfmpeg(ffmpeg, path));
        const auto asset = FfmpegMediaAssetOpener().open(path);
        Codes read;
        for (const int track : asset->loadAudioTracks().value())
            read << asset->loadFormatDescriptionSubtypes(track).value();
        QCOMPARE(read, subtypes);
        const MediaTime duration = asset->loadDuration().value();
        QCOMPARE_LT(std::abs(duration.seconds() * 1000 - double(ms)), 50);
        if (timescale != 0)
            QCOMPARE(QList<qint64>({ duration.value, duration.timescale }),
                QList<qint64>({ ms * timescale / 1000, timescale }));
    }

    void unreadableFilesGivePlatformErrors_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // "alac/2": the first half of an ALAC file; null: no file
        QTest::newRow("not media") << QByteArray("Plain text, not media.\n").repeated(200);
        QTest::newRow("truncated, the index lost") << QByteArray("alac/2");
        QTest::newRow("missing") << QByteArray();
    }

    void unreadableFilesGivePlatformErrors()
    {
        QFETCH(QByteArray, bytes);
        const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        if (bytes == "alac/2") {
            QVERIFY(test::runFfmpeg(QStringLiteral("-f lavfi -i sine=d=2 -c:a alac -f mp4"), path));
            bytes = test::readAll(path).left(QFileInfo(path).size() / 2);
        }
        QFile file(path);
        QVERIFY(bytes.isNull() || (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()));
        file.close();
        const auto asset = FfmpegMediaAssetOpener().open(path);
        const auto tracks = asset->loadAudioTracks();
        QVERIFY(!tracks && tracks.error().platformError());
        QCOMPARE(tracks.error().platformError()->source(), PlatformError::Source::media);
        // Every load reports the same error.
        QCOMPARE(asset->loadFormatDescriptionSubtypes(0).error(), tracks.error());
        QCOMPARE(asset->loadDuration().error(), tracks.error());
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestFfmpegMediaAsset)
#include "tst_ffmpegmediaasset.moc"
