// The writer of one recording, over fake media: time stamps, the end of the
// intake, both ways of finishing, and the file and its lock.

#include "base/FileLock.h"
#include "capture/AudioSampleWriter.h"
#include "capture/hal/SimulatedAudioHardware.h"
#include "files/RecordingFile.h"
#include "media/FfmpegMediaWriterFactory.h"
#include "support/FakeMediaWriter.h"
#include "support/TestSupport.h"

#include <QFileInfo>
#include <QTest>

#include <limits>
#include <random>
#include <thread>
#include <vector>

using namespace vessaro;

namespace {

struct Rig {
    test::ScopedCacheHome home;
    std::shared_ptr<test::FakeMediaScript> script = std::make_shared<test::FakeMediaScript>();
    std::shared_ptr<AudioSampleWriter> writer;

    Result<void> create()
    {
        auto made = AudioSampleWriter::create(
            SimulatedAudioHardware::stereoFloat(48000), std::make_shared<test::FakeMediaWriterFactory>(script));
        if (!made)
            return made.error();
        writer = made.value();
        return {};
    }
    // `bytes` bytes of `sample`, as one buffer.
    void feed(std::uint32_t bytes, float sample = 0) const
    {
        std::vector<float> samples(bytes / sizeof(float) + 1, sample);
        AudioBufferList list { 1, { { 2, bytes, samples.data() } } };
        writer->append(&list);
    }
};

using Failure = std::optional<Error>;

} // namespace

class AudioSampleWriterTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Time stamps come from the frame counter; partial frames and unusable
    // lists are dropped; the track gets the captured rate and channels, ALAC,
    // and a hint of 24 bits.
    void framesAndTimestamps()
    {
        Rig rig;
        QVERIFY(rig.create());
        rig.feed(512 * 8);
        rig.feed(7); // less than one frame
        AudioBufferList empty { 0, {} };
        rig.writer->append(&empty);
        AudioBufferList noData { 1, { { 2, 64, nullptr } } };
        rig.writer->append(&noData);
        rig.writer->append(nullptr);
        rig.feed(480 * 8 + 5);
        rig.feed(7 * 8);
        QCOMPARE(rig.script->presentationFrames, QList<std::int64_t>({ 0, 512, 992 }));
        QCOMPARE(rig.script->frameCounts, QList<std::uint32_t>({ 512, 480, 7 }));
        QCOMPARE(rig.writer->frames(), std::int64_t(999));
        QCOMPARE(rig.writer->capturedSeconds(), 999 / 48000.0);
        QCOMPARE(rig.script->settings->sampleRate, 48000.0);
        QCOMPARE(rig.script->settings->numberOfChannels, 2);
        QCOMPARE(rig.script->settings->encoderBitDepthHint, 24);
        QCOMPARE(rig.script->settings->formatID, kAudioFormatAppleLossless);
        // Each writer has a file of its own, side by side in a private folder.
        QVERIFY(rig.create());
        const QFileInfo first(rig.script->paths[0]);
        QVERIFY(first.fileName() != QFileInfo(rig.script->paths[1]).fileName());
        QCOMPARE(QFileInfo(rig.script->paths[1]).absolutePath(), first.absolutePath());
        QCOMPARE(first.absolutePath(), rig.home.recordingsDirectory());
        QVERIFY(first.fileName().startsWith(QStringLiteral("recording-")));
        QCOMPARE(first.fileName().size(), qsizetype(10 + 36 + 4));
        QCOMPARE(QFileInfo(first.absolutePath()).permissions() & 0x0077, QFileDevice::Permissions());
    }

    // How the intake ended, and what each way of finishing makes of it: finish()
    // keeps a file only for a whole take; finishKeepingAudio() keeps every
    // sample that reached the file whole. The first failure is the one told.
    void intakeAndFinish_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<std::int64_t>("frames");
        QTest::addColumn<bool>("intakeEnds");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<bool>("kept");
        const auto append = [](const char* reason) -> Failure {
            return RecorderError::writerAppendFailed(QString::fromUtf8(reason));
        };
        const Failure behind = append("磁盘写入跟不上录音，已停止接收以避免静默丢帧。");
        const Failure notMade = RecorderError::captureFailed(QStringLiteral("创建音频缓冲"), -12731);
        QTest::newRow("whole take") << "" << std::int64_t(200) << false << Failure() << true;
        QTest::newRow("refused") << "refused" << std::int64_t(100) << true << behind << true;
        QTest::newRow("refused, the writer's own error")
            << "refused full" << std::int64_t(100) << true << append("No space left on device") << true;
        QTest::newRow("lost") << "lost" << std::int64_t(100) << true
                              << append("声音服务丢掉了一段音频，已停止接收以避免静默丢帧。") << true;
        QTest::newRow("buffer not made") << "not made" << std::int64_t(100) << true << notMade << true;
        QTest::newRow("buffer not copied")
            << "not copied" << std::int64_t(100) << true
            << Failure(RecorderError::captureFailed(QStringLiteral("复制音频缓冲"), -12731)) << true;
        QTest::newRow("not made, then lost: the first stays")
            << "not made lost" << std::int64_t(100) << true << notMade << true;
        QTest::newRow("unfinished, fragments kept")
            << "unfinished full" << std::int64_t(200) << false << append("No space left on device") << true;
        QTest::newRow("unfinished, nothing whole")
            << "unfinished" << std::int64_t(200) << false << append("封装失败") << false;
        QTest::newRow("no audio") << "silent" << std::int64_t(0) << false << Failure(RecorderError::noAudioReceived())
                                  << false;
    }

    void intakeAndFinish()
    {
        QFETCH(QString, how);
        QFETCH(std::int64_t, frames);
        QFETCH(bool, intakeEnds);
        QFETCH(Failure, failure);
        QFETCH(bool, kept);
        for (const bool keeping : { false, true }) {
            Rig rig;
            QVERIFY(rig.create());
            const QString path = rig.writer->path();
            QVERIFY(!FileLock::tryToLock(path).value()); // locked from creation
            if (how.contains(QStringLiteral("full")))
                rig.script->writerError = QStringLiteral("No space left on device");
            if (how != QStringLiteral("silent"))
                rig.feed(100 * 8);
            rig.script->readyFor = how.startsWith(QStringLiteral("refused")) ? 1 : -1;
            rig.script->createBufferStatus = how.startsWith(QStringLiteral("not made")) ? -12731 : 0;
            rig.script->copyStatus = how == QStringLiteral("not copied") ? -12731 : 0;
            if (how == QStringLiteral("lost"))
                rig.writer->noteLoss(4096);
            if (how != QStringLiteral("silent"))
                rig.feed(100 * 8); // refused, failed or ignored where the intake ends
            if (how == QStringLiteral("not made lost"))
                rig.writer->noteLoss(4096);
            rig.script->readyFor = -1;
            rig.script->createBufferStatus = 0;
            rig.script->copyStatus = 0;
            if (intakeEnds)
                rig.feed(100 * 8); // the writer would take it, but the intake has ended
            QCOMPARE(rig.writer->frames(), frames);
            QCOMPARE(rig.writer->interruption() ? Failure(*rig.writer->interruption()) : Failure(),
                intakeEnds ? failure : Failure());
            if (how.startsWith(QStringLiteral("unfinished"))) {
                rig.script->finishCompletes = false;
                rig.script->keepsFileOnFailure = kept;
            }
            if (!keeping) {
                const auto finished = rig.writer->finish();
                QCOMPARE(finished ? Failure() : Failure(finished.error()), failure);
                QCOMPARE(QFileInfo::exists(path), !failure);
                if (finished)
                    QCOMPARE(finished.value(), path);
                continue;
            }
            FinishedWriting finished = rig.writer->finishKeepingAudio();
            QCOMPARE(finished.failure, failure);
            QCOMPARE(finished.kept.has_value(), kept);
            QCOMPARE(QFileInfo::exists(path), kept);
            if (!kept)
                continue;
            QCOMPARE(finished.kept->path, path);
            QVERIFY(!FileLock::tryToLock(path).value()); // handed over, still held
            finished.kept->lock.release();
            QVERIFY(FileLock::tryToLock(path).value());
        }
    }

    // The format step comes before any file exists; a file made before the
    // failure is left for finish or discard.
    void constructionFailures_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<bool>("fileLeft");
        const auto refused
            = [](const char* reason) -> Failure { return RecorderError::writerStartFailed(QString::fromUtf8(reason)); };
        const auto format = [](std::int32_t status) -> Failure {
            return RecorderError::captureFailed(QStringLiteral("读取音频格式"), status);
        };
        QTest::newRow("format") << "format" << format(-22) << false;
        QTest::newRow("format without description") << "no description" << format(0) << false;
        QTest::newRow("writer creation") << "create" << Failure(PlatformError::fromErrno(ENOSPC, QStringLiteral("x")))
                                         << false;
        QTest::newRow("settings") << "settings" << refused("音频设备的格式不能编码为 ALAC。") << true;
        QTest::newRow("input") << "input" << refused("无法添加音频轨道。") << true;
        QTest::newRow("start, no text") << "start" << refused("未知错误") << true;
        QTest::newRow("start, writer text") << "start text" << refused("encoder") << true;
    }

    void constructionFailures()
    {
        QFETCH(QString, what);
        QFETCH(Failure, failure);
        QFETCH(bool, fileLeft);
        Rig rig;
        rig.script->formatStatus = what == QStringLiteral("format") ? -22 : 0;
        rig.script->formatWithoutDescription = what == QStringLiteral("no description");
        if (what == QStringLiteral("create"))
            rig.script->createError = *failure->platformError();
        rig.script->canApplySettings = what != QStringLiteral("settings");
        rig.script->canAddInput = what != QStringLiteral("input");
        rig.script->startWriting = !what.startsWith(QStringLiteral("start"));
        if (what == QStringLiteral("start text"))
            rig.script->writerError = QStringLiteral("encoder");
        const auto created = rig.create();
        QCOMPARE(created ? Failure() : Failure(created.error()), failure);
        QCOMPARE(QFileInfo::exists(rig.script->paths.value(0)), fileLeft);
        if (what.contains(QStringLiteral("format")) || what == QStringLiteral("no description"))
            QVERIFY(!QFileInfo::exists(rig.home.path() + QStringLiteral("/vessaro")));
    }

    // Digital silence is what the file would hold as zeros: float samples that
    // round to 0 in 24 bits count as silence, one that does not is sound.
    void silenceIsWhatTheFileHoldsAsZeros_data()
    {
        QTest::addColumn<float>("sample");
        QTest::addColumn<bool>("silent");
        QTest::newRow("zeros") << 0.0F << true;
        QTest::newRow("negative zeros") << -0.0F << true;
        QTest::newRow("below half a 24-bit step") << 0.4F / 8388608.0F << true;
        QTest::newRow("one 24-bit step") << 1.0F / 8388608.0F << false;
        QTest::newRow("a quiet sound") << -0.001F << false;
        QTest::newRow("NaN, written as zero") << std::numeric_limits<float>::quiet_NaN() << true;
    }

    void silenceIsWhatTheFileHoldsAsZeros()
    {
        QFETCH(float, sample);
        QFETCH(bool, silent);
        Rig rig;
        QVERIFY(rig.create());
        rig.feed(480 * 8);
        // One sample in the second buffer, the rest zeros.
        std::vector<float> samples(480 * 2, 0.0F);
        samples[333] = sample;
        AudioBufferList list { 1, { { 2, 480 * 8, samples.data() } } };
        rig.writer->append(&list);
        QCOMPARE(rig.writer->isSilent(), silent);
        rig.writer->discard();
        QVERIFY(!QFileInfo::exists(rig.writer->path()));
        QCOMPARE(rig.script->cancelled, 1);
        rig.writer->discard(); // the file is gone already
    }

    // A long run, not part of the suite (scripts/long-run.sh): five hours of
    // incompressible audio through the real writer, faster than real time,
    // give a valid file larger than 4 GiB that lasts exactly frames / rate.
    void fiveHoursMakeAValidFileBeyondFourGiB()
    {
        if (qEnvironmentVariableIsEmpty("VESSARO_LONG_RUN"))
            QSKIP("a long run: scripts/long-run.sh");
        test::ScopedCacheHome home;
        constexpr std::uint32_t rate = 48000;
        constexpr std::uint32_t framesPerBuffer = 480;
        constexpr std::int64_t totalFrames = std::int64_t { 5 } * 3600 * rate;
        // Ten seconds of full-scale noise, played over and over.
        std::vector<float> noise(std::size_t { rate } * 10 * 2);
        std::mt19937 random(11);
        std::uniform_real_distribution<float> uniform(-1.0F, 0.999F);
        for (float& value : noise)
            value = uniform(random);
        // Twenty times faster than real time, about what the encoder manages
        // with full-scale noise on a busy machine; a ring of ten minutes takes
        // up the encoder's slower spells.
        auto made = AudioSampleWriter::create(SimulatedAudioHardware::stereoFloat(rate),
            std::make_shared<FfmpegMediaWriterFactory>(std::size_t { rate } * 8 * 600));
        QVERIFY(made.ok());
        const std::shared_ptr<AudioSampleWriter> writer = made.value();
        const auto started = std::chrono::steady_clock::now();
        for (std::int64_t fed = 0; fed < totalFrames; fed += framesPerBuffer) {
            const std::size_t offset = static_cast<std::size_t>(fed % (std::int64_t { rate } * 10)) * 2;
            AudioBufferList list { 1, { { 2, framesPerBuffer * 8, noise.data() + offset } } };
            writer->append(&list);
            if (fed % (std::int64_t { rate } * 60) == 0) {
                if (const auto ended = writer->interruption())
                    QFAIL(qPrintable(ended->localizedDescription()));
                std::this_thread::sleep_until(started + std::chrono::duration<double>(double(fed) / rate / 20));
            }
        }
        QCOMPARE(writer->frames(), totalFrames);
        auto finished = writer->finish();
        QVERIFY2(finished.ok(), qPrintable(finished.ok() ? QString() : finished.error().localizedDescription()));
        auto summary = RecordingFile::validate(finished.value());
        QVERIFY2(summary.ok(), qPrintable(summary.ok() ? QString() : summary.error().localizedDescription()));
        QCOMPARE(summary.value().duration, double(totalFrames) / rate);
        QVERIFY(summary.value().fileSize > (qint64(4) << 30));
        QFile::remove(finished.value());
    }
};

QTEST_GUILESS_MAIN(AudioSampleWriterTest)
#include "tst_audiosamplewriter.moc"
