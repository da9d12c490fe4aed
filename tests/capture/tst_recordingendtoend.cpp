#include "support/ScopedEnvironmentVariable.h"
#include "capture/CoreAudioTapDriver.h"
#include "capture/SystemAudioCaptureService.h"
#include "files/RecordingFile.h"
#include "media/FfmpegMediaAssetOpener.h"
#include "media/FfmpegMediaWriterFactory.h"
#include "support/TestSupport.h"

#include <QDir>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <memory>
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

// A file system of `size` (mount's notation) mounted on a fresh directory for
// the object's lifetime; needs root.
class ScopedTmpfs {
public:
    explicit ScopedTmpfs(const QString& size)
    {
        m_mounted = m_dir.isValid() && run(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=" + size, "tmpfs", m_dir.path()});
    }
    ~ScopedTmpfs()
    {
        if (m_mounted)
            run(QStringLiteral("umount"), {m_dir.path()});
    }
    ScopedTmpfs(const ScopedTmpfs&) = delete;
    ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;
    bool isMounted() const { return m_mounted; }
    QString path() const { return m_dir.path(); }
    bool resize(const QString& size) { return run(QStringLiteral("mount"), {"-o", "remount,size=" + size, m_dir.path()}); }

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
};

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

    // The intake ends early on the real server: the caller hears of it at
    // once, stop() reports it and leaves no file, and the next recording works.
    void anIntakeThatEndsEarlyIsToldAtOnce_data()
    {
        QTest::addColumn<bool>("fullDisk");
        QTest::newRow("the encoder stalls and the ring overruns") << false;
        QTest::newRow("the temporary directory's disk fills up") << true;
    }

    void anIntakeThatEndsEarlyIsToldAtOnce()
    {
        QFETCH(bool, fullDisk);
        if (!test::audioServerAvailable())
            QSKIP("needs the private audio server");
        ScopedTmpfs disk(QStringLiteral("192k"));
        if (fullDisk && !disk.isMounted())
            QSKIP("mounting a tmpfs needs root");
        std::optional<test::ScopedCacheHome> home;
        std::optional<vessaro::test::ScopedEnvironmentVariable> cache;
        if (fullDisk)
            cache.emplace("XDG_CACHE_HOME", disk.path().toUtf8());
        else
            home.emplace();
        const QString recordings = qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/vessaro/Vessaro");
        // Noise, which ALAC cannot squeeze, fills the disk fast.
        QTemporaryDir scratch;
        const QString noise = scratch.filePath(QStringLiteral("noise.wav"));
        QVERIFY(run(QStringLiteral("sox"), {"-n", "-r", "48000", "-c", "2", "-b", "16", noise, "synth", "3", "whitenoise",
                                            "vol", "0.5"}));
        // A small ring that a held encoder lets overrun within a fraction of a second.
        auto held = std::make_shared<std::atomic<bool>>(!fullDisk);
        SystemAudioCaptureService service(std::make_unique<CoreAudioTapDriver>(),
                                          std::make_shared<FfmpegMediaWriterFactory>(64 * 1024, held));
        QObject context;
        QStringList told;
        QObject::connect(service.events(), &CaptureEvents::captureInterrupted, &context,
                         [&told](const QString& reason, double) { told.append(reason); });

        QVERIFY(test::await(service.prepare()).ok());
        QVERIFY(test::await(service.start()).ok());
        QProcess player;
        player.start(QStringLiteral("paplay"), {noise});
        QTRY_COMPARE_WITH_TIMEOUT(told.size(), 1, 20000);
        QVERIFY(!told.front().isEmpty());
        held->store(false);
        player.waitForFinished(10000);
        // Stop tells the cut; what was written whole before it is kept, else nothing is.
        const auto stopped = test::await(service.stop());
        const std::optional<Error> cut = stopped.ok() ? stopped.value().interruption : stopped.error();
        QVERIFY(cut && cut->recorderError());
        QCOMPARE(cut->recorderError()->kind(), RecorderError::Case::writerAppendFailed);
        QCOMPARE(QDir(recordings).entryList(QDir::Files).size(), stopped.ok() ? 1 : 0);
        if (fullDisk)  // noise for a second or more reached the disk before it filled
            QVERIFY(stopped.ok() && stopped.value().summary.duration > 0);
        if (stopped.ok())
            QVERIFY(QFile::remove(stopped.value().path));

        // With room again the next recording is whole.
        if (fullDisk)
            QVERIFY(disk.resize(QStringLiteral("64m")));
        QVERIFY(test::await(service.prepare()).ok());
        QVERIFY(test::await(service.start()).ok());
        // A private PulseAudio's idle null sink delivers its first audio only
        // after about a second.
        QTest::qWait(2500);
        const auto again = test::await(service.stop());
        QVERIFY2(again.ok(), qPrintable(again.ok() ? QString() : again.error().localizedDescription()));
        QCOMPARE(told.size(), 1);
        QVERIFY(QFile::remove(again.value().path));
    }

    // A long run, not part of the suite (scripts/long-run.sh): ten minutes of
    // a known signal, recorded while two busy loops hog both cores, come back
    // bit for bit.
    void tenMinutesUnderLoadComeBackBitForBit()
    {
        if (qEnvironmentVariableIsEmpty("VESSARO_LONG_RUN"))
            QSKIP("a long run: scripts/long-run.sh");
        if (!test::audioServerAvailable())
            QSKIP("needs the private audio server");
        test::ScopedCacheHome home;
        QTemporaryDir scratch;
        const QString seconds = qEnvironmentVariable("VESSARO_LONG_RUN_SECONDS", QStringLiteral("600"));
        const QString rate = qEnvironmentVariable("VESSARO_TEST_SINK_RATE", QStringLiteral("48000"));
        const QString wav = scratch.filePath(QStringLiteral("signal.wav"));
        QVERIFY(run(QStringLiteral("sox"), {"-n", "-r", rate, "-c", "2", "-b", "16", wav, "synth", seconds, "whitenoise",
                                            "vol", "0.5"}));
        const QString padded = scratch.filePath(QStringLiteral("padded.wav"));
        QVERIFY(run(QStringLiteral("sox"), {wav, padded, "pad", "0.5", "0.2"}));
        const std::vector<std::int32_t> played = source(wav, scratch.path());
        QVERIFY(!played.empty());

        std::vector<std::unique_ptr<QProcess>> hogs;
        for (int i = 0; i < 2; ++i) {
            hogs.push_back(std::make_unique<QProcess>());
            hogs.back()->start(QStringLiteral("sh"), {"-c", "while :; do :; done"});
        }
        const auto stopHogs = qScopeGuard([&] {
            for (auto& hog : hogs) {
                hog->kill();
                hog->waitForFinished();
            }
        });
        SystemAudioCaptureService service(std::make_unique<CoreAudioTapDriver>());
        QObject context;
        QStringList told;
        QObject::connect(service.events(), &CaptureEvents::captureInterrupted, &context,
                         [&told](const QString& reason, double) { told.append(reason); });
        QVERIFY(test::await(service.prepare()).ok());
        QVERIFY(test::await(service.start()).ok());
        QTest::qWait(2000);
        QProcess player;
        player.start(QStringLiteral("paplay"), {padded});
        QVERIFY(player.waitForStarted());
        while (!player.waitForFinished(100))
            QCoreApplication::processEvents();
        QTest::qWait(500);
        auto stopped = test::await(service.stop(), std::chrono::minutes(5));
        QVERIFY2(stopped.ok(), qPrintable(stopped.ok() ? QString() : stopped.error().localizedDescription()));
        QVERIFY2(told.isEmpty(), qPrintable(told.join(QLatin1Char(' '))));
        const std::vector<std::int32_t> recorded = decode(stopped.value().path, scratch.path());
        QVERIFY(find(recorded, played, 16) >= 0);
        QFile::remove(stopped.value().path);
    }
};

QTEST_GUILESS_MAIN(RecordingEndToEndTest)
#include "tst_recordingendtoend.moc"
