#include "capture/CoreAudioTapDriver.h"
#include "capture/SystemAudioCaptureService.h"
#include "files/RecordingFile.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <vector>

using namespace vessaro;

namespace {

bool run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Runs `program` to make a raw file of interleaved signed 32-bit little-endian
// samples, and reads it.
std::vector<std::int32_t> samplesFrom(const QString& program, const QStringList& arguments, const QString& raw)
{
    if (!run(program, arguments))
        return {};
    QFile file(raw);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    std::vector<std::int32_t> samples(static_cast<size_t>(bytes.size()) / 4);
    std::memcpy(samples.data(), bytes.constData(), samples.size() * 4);
    return samples;
}

// The recording decoded by the ffmpeg program: ALAC's 24-bit samples come out
// in the top 24 bits.
std::vector<std::int32_t> decode(const QString& path, const QString& scratch)
{
    const QString raw = scratch + QStringLiteral("/decoded.s32");
    return samplesFrom(QStringLiteral("ffmpeg"), {"-v", "error", "-y", "-i", path, "-f", "s32le", "-acodec", "pcm_s32le", raw},
                       raw);
}

// The source signal, top-aligned like `decode`.
std::vector<std::int32_t> source(const QString& wav, const QString& scratch)
{
    const QString raw = scratch + QStringLiteral("/source.s32");
    return samplesFrom(QStringLiteral("sox"), {wav, "-t", "raw", "-e", "signed-integer", "-b", "32", "-L", raw}, raw);
}

// Where `needle` starts inside `haystack` sample for sample (keeping only the
// top `bits` bits of each sample), or -1.
qsizetype find(const std::vector<std::int32_t>& haystack, const std::vector<std::int32_t>& needle, int bits)
{
    const auto keep = [bits](std::int32_t sample) { return sample >> (32 - bits); };
    if (needle.empty() || haystack.size() < needle.size())
        return -1;
    for (size_t start = 0; start + needle.size() <= haystack.size(); start += 2) {
        if (keep(haystack[start]) != keep(needle[0]) || keep(haystack[start + 1]) != keep(needle[1]))
            continue;
        size_t i = 2;
        while (i < needle.size() && keep(haystack[start + i]) == keep(needle[i]))
            ++i;
        if (i == needle.size())
            return static_cast<qsizetype>(start);
    }
    return -1;
}

} // namespace

class RecordingEndToEndTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void playedSignalIsRecordedSampleForSample_data()
    {
        QTest::addColumn<int>("bits");
        QTest::newRow("16-bit source") << 16;
        QTest::newRow("24-bit source through a float output") << 24;
    }

    void playedSignalIsRecordedSampleForSample()
    {
        QFETCH(int, bits);
        if (!test::audioServerAvailable())
            QSKIP("needs the private audio server");
        if (bits == 24 && qEnvironmentVariable("VESSARO_TEST_SINK_FORMAT", QStringLiteral("float32le")) != QStringLiteral("float32le"))
            QSKIP("24 bits survive only a float output");
        test::ScopedCacheHome home;
        QTemporaryDir scratch;
        const QString rate = qEnvironmentVariable("VESSARO_TEST_SINK_RATE", QStringLiteral("48000"));
        // Noise never repeats, so the signal can be found in one place only.
        const QString wav = scratch.filePath(QStringLiteral("signal.wav"));
        QVERIFY(run(QStringLiteral("sox"), {"-n", "-r", rate, "-c", "2", "-b", QString::number(bits), wav, "synth", "1.5",
                                            "whitenoise", "vol", "0.5"}));
        const std::vector<std::int32_t> played = source(wav, scratch.path());
        QVERIFY(!played.empty());
        // Played after half a second of silence: a stream that starts while the
        // output runs is mixed in by rewinding the output, and a monitor never
        // sees the rewound few milliseconds. They fall into the silence.
        const QString padded = scratch.filePath(QStringLiteral("padded.wav"));
        QVERIFY(run(QStringLiteral("sox"), {wav, padded, "pad", "0.5", "0.2"}));

        SystemAudioCaptureService service(std::make_unique<CoreAudioTapDriver>());
        auto prepared = test::await(service.prepare());
        if (!prepared)
            QFAIL(qPrintable(prepared.error().localizedDescription()));
        QVERIFY(test::await(service.start()).ok());
        QTest::qWait(300);
        QVERIFY(run(QStringLiteral("paplay"), {padded}));
        QTest::qWait(300);
        auto stopped = test::await(service.stop());
        if (!stopped)
            QFAIL(qPrintable(stopped.error().localizedDescription()));

        const std::vector<std::int32_t> recorded = decode(stopped.value().path, scratch.path());
        QVERIFY(recorded.size() > played.size());
        if (find(recorded, played, bits) < 0) {
            // Say how much of the signal did arrive, to tell a late start from changed samples.
            for (size_t skipped = 0; skipped < played.size(); skipped += played.size() / 64) {
                const std::vector<std::int32_t> rest(played.begin() + qsizetype(skipped & ~size_t(1)), played.end());
                if (find(recorded, rest, bits) >= 0)
                    QFAIL(qPrintable(QStringLiteral("only the signal from frame %1 of %2 on is in the recording")
                                         .arg(skipped / 2).arg(played.size() / 2)));
            }
            QFAIL("the played signal is not in the recording bit for bit");
        }

        // The summary measures the file itself.
        const double frames = double(recorded.size()) / 2;
        QCOMPARE(stopped.value().summary.duration, frames / rate.toDouble());
        QCOMPARE(stopped.value().summary.fileSize, QFileInfo(stopped.value().path).size());
        auto again = RecordingFile::validate(stopped.value().path);
        QVERIFY(again.ok());
        QCOMPARE(again.value(), stopped.value().summary);
    }
};

QTEST_GUILESS_MAIN(RecordingEndToEndTest)
#include "tst_recordingendtoend.moc"
