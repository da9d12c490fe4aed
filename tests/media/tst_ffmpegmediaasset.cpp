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

namespace {

constexpr std::uint32_t kAlac = 0x616C6163;

// Makes a file with the ffmpeg program; the arguments go between the inputs and the output.
bool ffmpeg(const QStringList& arguments, const QString& output)
{
    QProcess process;
    process.start(QStringLiteral("ffmpeg"),
                  QStringList{QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                              QStringLiteral("-y")}
                      + arguments + QStringList{output});
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QStringList sine(int rate, const QString& seconds)
{
    return {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
            QStringLiteral("sine=frequency=440:sample_rate=%1:duration=%2").arg(rate).arg(seconds)};
}

void verifyPlatformError(const Error& error)
{
    QVERIFY(!error.recorderError());
    const PlatformError* platform = error.platformError();
    QVERIFY(platform);
    QCOMPARE(platform->source(), PlatformError::Source::media);
    QVERIFY(platform->code() < 0);
    QVERIFY(!platform->localizedDescription().isEmpty());
}

} // namespace

class TestFfmpegMediaAsset : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void readsTracks_data();
    void readsTracks();
    void unreadableFilesGivePlatformErrors_data();
    void unreadableFilesGivePlatformErrors();

private:
    QString file(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

void TestFfmpegMediaAsset::initTestCase()
{
    QVERIFY(m_dir.isValid());
    av_log_set_level(AV_LOG_QUIET);  // the broken files below are broken on purpose
    QVERIFY(ffmpeg(sine(44100, QStringLiteral("1.5")) + QStringList{QStringLiteral("-c:a"), QStringLiteral("alac")},
                   file(QStringLiteral("alac.mp4"))));
    QVERIFY(ffmpeg(sine(48000, QStringLiteral("2")) + QStringList{QStringLiteral("-c:a"), QStringLiteral("pcm_s16le")},
                   file(QStringLiteral("pcm.mov"))));
    QVERIFY(ffmpeg(sine(48000, QStringLiteral("1")) + QStringList{QStringLiteral("-c:a"), QStringLiteral("pcm_s16le")},
                   file(QStringLiteral("pcm.wav"))));
    QVERIFY(ffmpeg(sine(48000, QStringLiteral("1")) + QStringList{QStringLiteral("-c:a"), QStringLiteral("aac")},
                   file(QStringLiteral("aac.mp4"))));
    QVERIFY(ffmpeg({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                    QStringLiteral("testsrc=duration=1:size=64x64:rate=10"), QStringLiteral("-c:v"), QStringLiteral("mpeg4")},
                   file(QStringLiteral("video.mp4"))));
    QVERIFY(ffmpeg(sine(48000, QStringLiteral("1")) + sine(48000, QStringLiteral("3"))
                       + QStringList{QStringLiteral("-map"), QStringLiteral("0"), QStringLiteral("-map"), QStringLiteral("1"),
                                     QStringLiteral("-c:a:0"), QStringLiteral("aac"), QStringLiteral("-c:a:1"),
                                     QStringLiteral("alac")},
                   file(QStringLiteral("two-tracks.mp4"))));

    QFile empty(file(QStringLiteral("empty.mp4")));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();

    QFile whole(file(QStringLiteral("alac.mp4")));
    QVERIFY(whole.open(QIODevice::ReadOnly));
    const QByteArray bytes = whole.readAll();
    QFile truncated(file(QStringLiteral("truncated.mp4")));
    QVERIFY(truncated.open(QIODevice::WriteOnly));
    truncated.write(bytes.left(bytes.size() / 2));  // the index sits at the end and is lost
    truncated.close();

    QFile text(file(QStringLiteral("notes.mp4")));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write(QByteArray("These are not the droids you are looking for.\n").repeated(100));
    text.close();
}

void TestFfmpegMediaAsset::readsTracks_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QList<int>>("tracks");
    QTest::addColumn<QList<std::uint32_t>>("subtypes");  // of each audio track
    QTest::addColumn<double>("seconds");
    QTest::addColumn<qint64>("exactValue");  // 0: compare seconds only
    QTest::addColumn<int>("exactTimescale");
    QTest::newRow("alac mp4") << QStringLiteral("alac.mp4") << QList<int>{0} << QList<std::uint32_t>{kAlac} << 1.5
                              << qint64{66150} << 44100;
    QTest::newRow("pcm mov") << QStringLiteral("pcm.mov") << QList<int>{0}
                             << QList<std::uint32_t>{fourCharCode("sowt")} << 2.0 << qint64{96000} << 48000;
    QTest::newRow("pcm wav") << QStringLiteral("pcm.wav") << QList<int>{0}
                             << QList<std::uint32_t>{fourCharCode("sowt")} << 1.0 << qint64{0} << 0;
    QTest::newRow("aac mp4") << QStringLiteral("aac.mp4") << QList<int>{0}
                             << QList<std::uint32_t>{fourCharCode("mp4a")} << 1.0 << qint64{0} << 0;
    QTest::newRow("video only") << QStringLiteral("video.mp4") << QList<int>{} << QList<std::uint32_t>{} << 1.0
                                << qint64{0} << 0;
    QTest::newRow("aac then alac") << QStringLiteral("two-tracks.mp4") << QList<int>{0, 1}
                                   << QList<std::uint32_t>{fourCharCode("mp4a"), kAlac} << 3.0 << qint64{0} << 0;
}

void TestFfmpegMediaAsset::readsTracks()
{
    QFETCH(QString, name);
    QFETCH(QList<int>, tracks);
    QFETCH(QList<std::uint32_t>, subtypes);
    QFETCH(double, seconds);
    QFETCH(qint64, exactValue);
    QFETCH(int, exactTimescale);

    const auto asset = FfmpegMediaAssetOpener().open(file(name));
    QVERIFY(asset);
    const auto audioTracks = asset->loadAudioTracks();
    QVERIFY(audioTracks);
    QCOMPARE(audioTracks.value(), tracks);
    for (qsizetype i = 0; i < tracks.size(); ++i) {
        const auto found = asset->loadFormatDescriptionSubtypes(tracks[i]);
        QVERIFY(found);
        QCOMPARE(found.value(), QList<std::uint32_t>{subtypes[i]});
    }
    const auto duration = asset->loadDuration();
    QVERIFY(duration);
    QVERIFY(duration.value().isValid);
    QVERIFY2(std::abs(duration.value().seconds() - seconds) < 0.05, qPrintable(QString::number(duration.value().seconds())));
    if (exactValue != 0) {
        QCOMPARE(duration.value().value, exactValue);
        QCOMPARE(duration.value().timescale, exactTimescale);
    }
}

void TestFfmpegMediaAsset::unreadableFilesGivePlatformErrors_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("zero-length") << QStringLiteral("empty.mp4");
    QTest::newRow("truncated") << QStringLiteral("truncated.mp4");
    QTest::newRow("not media") << QStringLiteral("notes.mp4");
    QTest::newRow("missing") << QStringLiteral("missing.mp4");
}

void TestFfmpegMediaAsset::unreadableFilesGivePlatformErrors()
{
    QFETCH(QString, name);
    const auto asset = FfmpegMediaAssetOpener().open(file(name));
    QVERIFY(asset);
    const auto tracks = asset->loadAudioTracks();
    QVERIFY(!tracks);
    verifyPlatformError(tracks.error());
    // Every load reports the same error.
    const auto subtypes = asset->loadFormatDescriptionSubtypes(0);
    QVERIFY(!subtypes);
    QCOMPARE(subtypes.error(), tracks.error());
    const auto duration = asset->loadDuration();
    QVERIFY(!duration);
    QCOMPARE(duration.error(), tracks.error());
}

QTEST_GUILESS_MAIN(TestFfmpegMediaAsset)
#include "tst_ffmpegmediaasset.moc"
