// The real engine on the private audio server (scripts/audio-server.sh), with
// the real FFmpeg: what is played comes back bit for bit, through the window's
// model and its export; an intake that ends early is told at once.

#include "ServerAudio.h"
#include "capture/CoreAudioTapDriver.h"
#include "capture/SystemAudioCaptureService.h"
#include "files/RecordingFile.h"
#include "media/FfmpegMediaWriterFactory.h"
#include "recorder/RecorderViewModel.h"
#include "support/ScopedEnvironmentVariable.h"
#include "support/ScopedTmpfs.h"
#include "support/ScriptedDesktopServices.h"
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
using Phase = RecorderViewModel::Phase;

namespace {

bool run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Interleaved samples, top-aligned in 32 bits: `audio` (a WAV file, or with
// ffmpeg a recording, whose ALAC samples come out in the top 24 bits).
std::vector<std::int32_t> samplesOf(const QString& audio, const QTemporaryDir& scratch, bool ffmpeg = false)
{
    const QString raw = scratch.filePath(QStringLiteral("samples.s32"));
    const bool made = ffmpeg
        ? run(
            QStringLiteral("ffmpeg"), { "-v", "error", "-y", "-i", audio, "-f", "s32le", "-acodec", "pcm_s32le", raw })
        : run(QStringLiteral("sox"), { audio, "-t", "raw", "-e", "signed-integer", "-b", "32", "-L", raw });
    QFile file(raw);
    if (!made || !file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    std::vector<std::int32_t> samples(static_cast<size_t>(bytes.size()) / 4);
    std::memcpy(samples.data(), bytes.constData(), samples.size() * 4);
    return samples;
}

// Where `needle` starts inside `haystack` sample for sample (keeping only the
// top `bits` bits of each sample), or -1.
qsizetype find(const std::vector<std::int32_t>& haystack, const std::vector<std::int32_t>& needle, int bits)
{
    const auto keep = [bits](std::int32_t sample) { return sample >> (32 - bits); };
    if (needle.empty() || haystack.size() < needle.size())
        return -1;
    for (size_t start = 0; start + needle.size() <= haystack.size(); start += 2) {
        size_t i = 0;
        while (i < needle.size() && keep(haystack[start + i]) == keep(needle[i]))
            ++i;
        if (i == needle.size())
            return static_cast<qsizetype>(start);
    }
    return -1;
}

// `seconds` of noise (which never repeats, so it is found in one place only)
// at the output's rate, and the same padded with silence: a stream that starts
// while the output runs is mixed in by rewinding the output, and a monitor
// never sees the rewound few milliseconds. They fall into the silence.
QString noise(const QTemporaryDir& scratch, const QString& seconds, int bits, const char* padding = nullptr)
{
    const QString wav = scratch.filePath(QStringLiteral("noise-%1.wav").arg(bits));
    if (!run(QStringLiteral("sox"),
            { "-n", "-r", QString::number(test::ServerAudio::outputSampleRate()), "-c", "2", "-b",
                QString::number(bits), wav, "synth", seconds, "whitenoise", "vol", "0.5" }))
        return {};
    const QString padded = scratch.filePath(QStringLiteral("padded-%1.wav").arg(bits));
    if (!padding)
        return wav;
    return run(QStringLiteral("sox"), { wav, padded, "pad", padding, "0.2" }) ? padded : QString();
}

} // namespace

class RecordingEndToEndTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The whole road with the real clock: countdown, the played signal, stop,
    // export. 24 bits survive only a float output.
    void aPlayedSignalIsRecordedAndExportedBitForBit()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        const int bits = qEnvironmentVariable("VESSARO_TEST_SINK_FORMAT", QStringLiteral("float32le"))
                == QStringLiteral("float32le")
            ? 24
            : 16;
        test::ScopedCacheHome home;
        QTemporaryDir scratch;
        const QString padded = noise(scratch, QStringLiteral("1.5"), bits, "0.5");
        const std::vector<std::int32_t> played
            = samplesOf(scratch.filePath(QStringLiteral("noise-%1.wav").arg(bits)), scratch);
        QVERIFY(!played.empty() && !padded.isEmpty());

        auto desktop = std::make_shared<test::ScriptedDesktopServices>();
        const QString destination = scratch.filePath(QStringLiteral("系统音频 导出.mp4"));
        desktop->savePanelAnswers = { destination };
        RecorderViewModel model(
            std::make_unique<SystemAudioCaptureService>(std::make_unique<CoreAudioTapDriver>()), desktop);
        QList<Phase> phases;
        connect(&model, &RecorderViewModel::phaseChanged, this, [&](const Phase& phase) { phases.append(phase); });
        model.start();
        QTRY_VERIFY_WITH_TIMEOUT(model.phase() == Phase::recording() || !model.phase().isBusy(), 30000);
        QCOMPARE(phases,
            QList<Phase>({ Phase::preparing(), Phase::countingDown(3), Phase::countingDown(2), Phase::countingDown(1),
                Phase::recording() }));
        QTest::qWait(300);
        QVERIFY(run(QStringLiteral("paplay"), { padded }));
        QTest::qWait(300);
        model.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!model.phase().isBusy(), 30000);
        QVERIFY2(model.phase().kind() == Phase::Kind::finished, qPrintable(model.phase().description()));
        QCOMPARE(model.phase().url(), destination);
        QVERIFY(model.elapsedSeconds() > 0);
        QCOMPARE(QDir(home.recordingsDirectory()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(!model.pendingTemporaryURL());

        const std::vector<std::int32_t> recorded = samplesOf(destination, scratch, true);
        if (find(recorded, played, bits) < 0) {
            // Say how much of the signal did arrive, to tell a late start from changed samples.
            for (size_t skipped = 0; skipped < played.size(); skipped += played.size() / 64)
                if (find(recorded, { played.begin() + qsizetype(skipped & ~size_t(1)), played.end() }, bits) >= 0)
                    QFAIL(qPrintable(QStringLiteral("only the signal from frame %1 of %2 on is in the recording")
                                         .arg(skipped / 2)
                                         .arg(played.size() / 2)));
            QFAIL("the played signal is not in the recording bit for bit");
        }
        // The summary measures the file itself.
        const RecordingSummary summary = model.phase().summary();
        QCOMPARE(summary.duration, double(recorded.size()) / 2 / test::ServerAudio::outputSampleRate());
        QCOMPARE(summary.fileSize, QFileInfo(destination).size());
        QCOMPARE(RecordingFile::validate(destination).value(), summary);
        QVERIFY(QCoro::waitFor(model.shutdownForTermination()));
    }

    // The caller hears of it at once, stop() keeps what was written whole
    // before the cut, and the next recording works.
    void anIntakeThatEndsEarlyIsToldAtOnce_data()
    {
        QTest::addColumn<bool>("fullDisk");
        QTest::newRow("the encoder stalls and the ring overruns") << false;
        QTest::newRow("the temporary directory's disk fills up") << true;
    }

    void anIntakeThatEndsEarlyIsToldAtOnce()
    {
        QFETCH(bool, fullDisk);
        VESSARO_REQUIRE_AUDIO_SERVER();
        test::ScopedCacheHome home;
        std::optional<test::ScopedTmpfs> disk;
        std::optional<test::ScopedEnvironmentVariable> cache;
        if (fullDisk) {
            const QString mounted = home.path() + QStringLiteral("/disk");
            if (!disk.emplace(mounted, test::ScopedTmpfs::Access::readWrite).isMounted())
                QSKIP("mounting a tmpfs needs root");
            cache.emplace("XDG_CACHE_HOME", QFile::encodeName(mounted));
        }
        const QDir recordings(qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/vessaro/Vessaro"));
        // Noise, which ALAC cannot squeeze, fills the disk fast.
        QTemporaryDir scratch;
        const QString played = noise(scratch, QStringLiteral("10"), 16);
        // A small ring that a held encoder lets overrun within a fraction of a second.
        auto held = std::make_shared<std::atomic<bool>>(!fullDisk);
        SystemAudioCaptureService service(
            std::make_unique<CoreAudioTapDriver>(), std::make_shared<FfmpegMediaWriterFactory>(64 * 1024, held));
        QObject context;
        int told = 0;
        QObject::connect(service.events(), &CaptureEvents::captureInterrupted, &context, [&told] { ++told; });

        QVERIFY(test::await(service.prepare()) && test::await(service.start()));
        QProcess player;
        player.start(QStringLiteral("paplay"), { played });
        QTRY_COMPARE_WITH_TIMEOUT(told, 1, 20000);
        held->store(false);
        player.kill();
        player.waitForFinished();
        const auto stopped = test::await(service.stop());
        const std::optional<Error> cut = stopped ? stopped.value().interruption : stopped.error();
        QVERIFY(cut && cut->recorderError());
        QCOMPARE(cut->recorderError()->kind(), RecorderError::Case::writerAppendFailed);
        QCOMPARE(recordings.entryList(QDir::Files).size(), stopped ? 1 : 0);
        if (fullDisk) // noise for a second or more reached the disk before it filled
            QVERIFY(stopped && stopped.value().summary.duration > 0);
        if (stopped) { // its lock keeps it open, and its space taken, until let go
            stopped.value().lock->release();
            QVERIFY(QFile::remove(stopped.value().path));
        }

        // With room again the next recording is whole. A private PulseAudio's
        // idle null sink delivers its first audio only after about a second.
        QVERIFY(test::await(service.prepare()) && test::await(service.start()));
        QTest::qWait(2500);
        const auto again = test::await(service.stop());
        QVERIFY2(again, qPrintable(again ? QString() : again.error().localizedDescription()));
        QCOMPARE(told, 1);
        QVERIFY(QFile::remove(again.value().path));
    }

    // A long run, not part of the suite (scripts/long-run.sh): ten minutes of
    // a known signal, recorded while two busy loops hog both cores, come back
    // bit for bit.
    void tenMinutesUnderLoadComeBackBitForBit()
    {
        if (qEnvironmentVariableIsEmpty("VESSARO_LONG_RUN"))
            QSKIP("a long run: scripts/long-run.sh");
        VESSARO_REQUIRE_AUDIO_SERVER();
        test::ScopedCacheHome home;
        QTemporaryDir scratch;
        const QString padded
            = noise(scratch, qEnvironmentVariable("VESSARO_LONG_RUN_SECONDS", QStringLiteral("600")), 16, "0.5");
        const std::vector<std::int32_t> played = samplesOf(scratch.filePath(QStringLiteral("noise-16.wav")), scratch);
        QVERIFY(!played.empty() && !padded.isEmpty());
        std::vector<std::unique_ptr<QProcess>> hogs;
        for (int i = 0; i < 2; ++i) {
            hogs.push_back(std::make_unique<QProcess>());
            hogs.back()->start(QStringLiteral("sh"), { "-c", "while :; do :; done" });
        }
        const auto stopHogs = qScopeGuard([&] {
            for (auto& hog : hogs) {
                hog->kill();
                hog->waitForFinished();
            }
        });
        SystemAudioCaptureService service(std::make_unique<CoreAudioTapDriver>());
        QObject context;
        int told = 0;
        QObject::connect(service.events(), &CaptureEvents::captureInterrupted, &context, [&told] { ++told; });
        QVERIFY(test::await(service.prepare()) && test::await(service.start()));
        QTest::qWait(2000);
        QProcess player;
        player.start(QStringLiteral("paplay"), { padded });
        QVERIFY(player.waitForStarted());
        while (!player.waitForFinished(100))
            QCoreApplication::processEvents();
        QTest::qWait(500);
        auto stopped = test::await(service.stop(), std::chrono::minutes(5));
        QVERIFY2(stopped, qPrintable(stopped ? QString() : stopped.error().localizedDescription()));
        QCOMPARE(told, 0);
        QVERIFY(find(samplesOf(stopped.value().path, scratch, true), played, 16) >= 0);
        QFile::remove(stopped.value().path);
    }
};

QTEST_GUILESS_MAIN(RecordingEndToEndTest)
#include "tst_recordingendtoend.moc"
