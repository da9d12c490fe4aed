#include "media/FfmpegMediaAssetOpener.h"
#include "support/TestSupport.h"

extern "C" {
#include <libavutil/log.h>
}

#include <QTemporaryDir>
#include <QTest>

using namespace vessaro;
using Codes = QList<std::uint32_t>;

class TestFfmpegMediaAsset : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { av_log_set_level(AV_LOG_QUIET); } // the broken files below are broken on purpose

    // The subtypes of each audio track, numbered from 0, and the duration.
    void readsTracks()
    {
        for (const auto& [name, ffmpeg, subtypes, seconds] :
            { std::tuple(
                  "alac.mp4", "-f lavfi -i sine=r=44100:d=1.5 -c:a alac", Codes { kAudioFormatAppleLossless }, 1.5),
                { "video.mp4", "-f lavfi -i testsrc=duration=1:size=64x64:rate=10 -c:v mpeg4", Codes {}, 1.0 },
                { "two-tracks.mp4", "-f lavfi -i sine=d=1 -f lavfi -i sine=d=3 -map 0 -map 1 -c:a:0 aac -c:a:1 alac",
                    Codes { fourCharCode("mp4a"), kAudioFormatAppleLossless }, 3.0 } }) {
            const QString path = m_dir.filePath(QString::fromLatin1(name));
            QVERIFY(test::runFfmpeg(QString::fromLatin1(ffmpeg), path));
            const auto asset = FfmpegMediaAssetOpener().open(path);
            Codes read;
            for (const int track : asset->loadAudioTracks().value())
                read << asset->loadFormatDescriptionSubtypes(track).value();
            QCOMPARE(read, subtypes);
            QCOMPARE_LT(std::abs(asset->loadDuration().value().seconds() - seconds), 0.05);
        }
    }

    // Every load of a file that is not media reports the reader's error.
    void unreadableFileGivesAPlatformError()
    {
        const QString path = m_dir.filePath(QStringLiteral("text.mp4"));
        QVERIFY(test::writeFile(path, QByteArray("Plain text, not media.\n").repeated(200)));
        const auto asset = FfmpegMediaAssetOpener().open(path);
        const auto tracks = asset->loadAudioTracks();
        QVERIFY(!tracks && tracks.error().platformError());
        QCOMPARE(tracks.error().platformError()->source(), PlatformError::Source::media);
        QCOMPARE(asset->loadFormatDescriptionSubtypes(0).error(), tracks.error());
        QCOMPARE(asset->loadDuration().error(), tracks.error());
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestFfmpegMediaAsset)
#include "tst_ffmpegmediaasset.moc"
