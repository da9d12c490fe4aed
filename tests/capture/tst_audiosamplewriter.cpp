#include "base/FileLock.h"
#include "capture/AudioSampleWriter.h"
#include "capture/hal/SimulatedAudioHardware.h"
#include "files/RecordingFile.h"
#include "media/FfmpegMediaWriterFactory.h"
#include "support/FakeMediaWriter.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>
#include <QThread>

#include <chrono>
#include <thread>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

using namespace vessaro;
using test::FakeMediaScript;

namespace {

const QString kBackPressure = QStringLiteral("磁盘写入跟不上录音，已停止接收以避免静默丢帧。");

// A one-buffer list over `bytes` bytes of silence.
struct Buffer {
    explicit Buffer(std::uint32_t bytes) : data(bytes), list{1, {{2, bytes, data.data()}}} {}
    std::vector<char> data;
    AudioBufferList list;
};

struct Rig {
    std::shared_ptr<FakeMediaScript> script = std::make_shared<FakeMediaScript>();
    std::shared_ptr<AudioSampleWriter> writer;

    Result<void> create(AudioStreamBasicDescription format = SimulatedAudioHardware::stereoFloat(48000))
    {
        auto made = AudioSampleWriter::create(format, std::make_shared<test::FakeMediaWriterFactory>(script));
        if (!made)
            return made.error();
        writer = made.value();
        return {};
    }
    void feed(std::uint32_t frames)
    {
        Buffer buffer(frames * 8);
        writer->append(&buffer.list);
    }
};

QString describe(const Error& error) { return error.localizedDescription(); }

} // namespace

class AudioSampleWriterTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void timestampsComeFromTheFrameCounter()
    {
        test::ScopedCacheHome home;
        Rig rig;
        QVERIFY(rig.create().ok());
        rig.feed(512);
        rig.feed(480);
        rig.feed(7);
        QCOMPARE(rig.script->presentationFrames, QList<std::int64_t>({0, 512, 992}));
        QCOMPARE(rig.script->frameCounts, QList<std::uint32_t>({512, 480, 7}));
        QCOMPARE(rig.writer->frames(), std::int64_t(999));
        // The track gets the captured rate and channels, ALAC, a hint of 24 bits.
        QCOMPARE(rig.script->settings->sampleRate, 48000.0);
        QCOMPARE(rig.script->settings->numberOfChannels, 2);
        QCOMPARE(rig.script->settings->encoderBitDepthHint, 24);
        QCOMPARE(rig.script->settings->formatID, kAudioFormatAppleLossless);
        auto finished = rig.writer->finish();
        QVERIFY(finished.ok());
        QCOMPARE(finished.value(), rig.writer->url());
        QVERIFY(QFileInfo::exists(finished.value()));
    }

    void unusableBuffersAreIgnored()
    {
        test::ScopedCacheHome home;
        Rig rig;
        QVERIFY(rig.create().ok());
        Buffer shortOne(7);  // less than one 8-byte frame
        rig.writer->append(&shortOne.list);
        AudioBufferList empty{0, {}};
        rig.writer->append(&empty);
        Buffer noData(64);
        noData.list.mBuffers[0].mData = nullptr;
        rig.writer->append(&noData.list);
        rig.writer->append(nullptr);
        Buffer partial(8 * 3 + 5);  // the partial frame is dropped
        rig.writer->append(&partial.list);
        QCOMPARE(rig.script->frameCounts, QList<std::uint32_t>({3}));
        QCOMPARE(rig.writer->frames(), std::int64_t(3));
    }

    void refusalEndsTheIntakeAndFinishRemovesTheFile_data()
    {
        QTest::addColumn<std::optional<QString>>("writerError");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no writer error") << std::optional<QString>() << QStringLiteral("录音写入中断：") + kBackPressure;
        QTest::newRow("the writer's own error") << std::optional<QString>(QStringLiteral("写入文件失败：No space left on device"))
                                                << QStringLiteral("录音写入中断：写入文件失败：No space left on device");
    }

    void refusalEndsTheIntakeAndFinishRemovesTheFile()
    {
        QFETCH(std::optional<QString>, writerError);
        QFETCH(QString, expected);
        test::ScopedCacheHome home;
        Rig rig;
        QVERIFY(rig.create().ok());
        rig.script->readyFor = 2;
        rig.feed(512);
        rig.feed(512);
        rig.script->writerError = writerError;
        rig.feed(512);  // refused
        rig.script->readyFor = -1;
        rig.feed(512);  // ready again, but the intake has ended
        QCOMPARE(rig.script->presentationFrames, QList<std::int64_t>({0, 512}));
        auto finished = rig.writer->finish();
        QVERIFY(!finished.ok());
        QCOMPARE(describe(finished.error()), expected);
        QVERIFY(!QFileInfo::exists(rig.writer->url()));
    }

    void lossEndsTheIntakeLikeARefusal()
    {
        test::ScopedCacheHome home;
        Rig rig;
        QVERIFY(rig.create().ok());
        rig.feed(512);
        rig.writer->noteLoss(4096);
        rig.feed(512);
        QCOMPARE(rig.writer->frames(), std::int64_t(512));
        auto finished = rig.writer->finish();
        QCOMPARE(finished.error().recorderError()->kind(), RecorderError::Case::writerAppendFailed);
        QVERIFY(!QFileInfo::exists(rig.writer->url()));
    }

    void bufferFailuresAreKeptUntilFinish_data()
    {
        QTest::addColumn<bool>("create");
        QTest::addColumn<QString>("expected");
        QTest::newRow("create") << true << QStringLiteral("创建音频缓冲失败（-12731）。请确认声音服务正在运行后重试。");
        QTest::newRow("copy") << false << QStringLiteral("复制音频缓冲失败（-12731）。请确认声音服务正在运行后重试。");
    }

    void bufferFailuresAreKeptUntilFinish()
    {
        QFETCH(bool, create);
        QFETCH(QString, expected);
        test::ScopedCacheHome home;
        Rig rig;
        QVERIFY(rig.create().ok());
        rig.feed(10);
        (create ? rig.script->createBufferStatus : rig.script->copyStatus) = -12731;
        rig.feed(10);
        rig.script->createBufferStatus = rig.script->copyStatus = 0;
        rig.feed(10);
        QCOMPARE(rig.writer->frames(), std::int64_t(10));
        QCOMPARE(describe(rig.writer->finish().error()), expected);
        QVERIFY(!QFileInfo::exists(rig.writer->url()));
    }

    void finishWithoutAudioReportsNoAudio()
    {
        test::ScopedCacheHome home;
        Rig rig;
        QVERIFY(rig.create().ok());
        QVERIFY(QFileInfo::exists(rig.writer->url()));
        auto finished = rig.writer->finish();
        QVERIFY(finished.error().recorderError());
        QCOMPARE(finished.error().recorderError()->kind(), RecorderError::Case::noAudioReceived);
        QVERIFY(!QFileInfo::exists(rig.writer->url()));
        QCOMPARE(rig.script->cancelled, 1);
    }

    void finishThatDoesNotComplete_data()
    {
        QTest::addColumn<std::optional<QString>>("writerError");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no text") << std::optional<QString>() << QStringLiteral("录音写入中断：封装失败");
        QTest::newRow("writer text") << std::optional<QString>(QStringLiteral("trailer")) << QStringLiteral("录音写入中断：trailer");
    }

    void finishThatDoesNotComplete()
    {
        QFETCH(std::optional<QString>, writerError);
        QFETCH(QString, expected);
        test::ScopedCacheHome home;
        Rig rig;
        QVERIFY(rig.create().ok());
        rig.feed(100);
        rig.script->finishCompletes = false;
        rig.script->writerError = writerError;
        QCOMPARE(describe(rig.writer->finish().error()), expected);
        QVERIFY(!QFileInfo::exists(rig.writer->url()));
    }

    // A take cut short keeps what reached the file whole, with its lock, and still reports why.
    void finishKeepingAudio_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<bool>("kept");
        const QString cut = QStringLiteral("录音写入中断：");
        QTest::newRow("whole take") << "clean" << QString() << true;
        QTest::newRow("refusal") << "refusal" << cut + kBackPressure << true;
        QTest::newRow("loss") << "loss" << cut + QStringLiteral("声音服务丢掉了一段音频，已停止接收以避免静默丢帧。") << true;
        QTest::newRow("disk full, fragments kept") << "full" << cut + QStringLiteral("写入文件失败：No space left on device") << true;
        QTest::newRow("nothing whole") << "broken" << cut + QStringLiteral("封装失败") << false;
        QTest::newRow("no audio") << "silent" << RecorderError::noAudioReceived().localizedDescription() << false;
    }

    void finishKeepingAudio()
    {
        QFETCH(QString, how);
        QFETCH(QString, failure);
        QFETCH(bool, kept);
        test::ScopedCacheHome home;
        Rig rig;
        QVERIFY(rig.create().ok());
        const QString path = rig.writer->url();
        QVERIFY(!FileLock::tryToLock(path).value());  // locked from creation
        if (how == QStringLiteral("refusal"))
            rig.script->readyFor = 1;
        if (how != QStringLiteral("silent"))
            rig.feed(100);
        if (how == QStringLiteral("loss"))
            rig.writer->noteLoss(4096);
        rig.feed(how == QStringLiteral("silent") ? 0 : 100);  // refused, or ignored after the loss
        if (how == QStringLiteral("full") || how == QStringLiteral("broken")) {
            rig.script->finishCompletes = false;
            rig.script->keepsFileOnFailure = how == QStringLiteral("full");
            if (how == QStringLiteral("full"))
                rig.script->writerError = QStringLiteral("写入文件失败：No space left on device");
        }
        FinishedWriting finished = rig.writer->finishKeepingAudio();
        QCOMPARE(finished.failure ? describe(*finished.failure) : QString(), failure);
        QCOMPARE(finished.kept.has_value(), kept);
        QCOMPARE(QFileInfo::exists(path), kept);
        if (!kept)
            return;
        QCOMPARE(finished.kept->path, path);
        QVERIFY(!FileLock::tryToLock(path).value());  // handed over, still held
        finished.kept->lock.release();
        QVERIFY(FileLock::tryToLock(path).value());
    }

    void constructionFailures_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("fileLeft");
        QTest::newRow("format") << "format" << QStringLiteral("读取音频格式失败（-22）。请确认声音服务正在运行后重试。") << false;
        QTest::newRow("format without description") << "nodescription"
                                                    << QStringLiteral("读取音频格式失败（0）。请确认声音服务正在运行后重试。") << false;
        QTest::newRow("writer creation") << "create" << QStringLiteral("无法创建“x”：No space left on device") << false;
        QTest::newRow("settings") << "settings" << QStringLiteral("无法创建无损 MP4：音频设备的格式不能编码为 ALAC。") << true;
        QTest::newRow("input") << "input" << QStringLiteral("无法创建无损 MP4：无法添加音频轨道。") << true;
        QTest::newRow("start, no text") << "start" << QStringLiteral("无法创建无损 MP4：未知错误") << true;
        QTest::newRow("start, writer text") << "starttext" << QStringLiteral("无法创建无损 MP4：encoder") << true;
    }

    void constructionFailures()
    {
        QFETCH(QString, what);
        QFETCH(QString, expected);
        QFETCH(bool, fileLeft);
        test::ScopedCacheHome home;
        Rig rig;
        if (what == QStringLiteral("format"))
            rig.script->formatStatus = -22;
        else if (what == QStringLiteral("nodescription"))
            rig.script->formatWithoutDescription = true;
        else if (what == QStringLiteral("create"))
            rig.script->createError = PlatformError::fromErrno(ENOSPC, QStringLiteral("无法创建“x”"));
        else if (what == QStringLiteral("settings"))
            rig.script->canApplySettings = false;
        else if (what == QStringLiteral("input"))
            rig.script->canAddInput = false;
        else {
            rig.script->startWriting = false;
            if (what == QStringLiteral("starttext"))
                rig.script->writerError = QStringLiteral("encoder");
        }
        auto created = rig.create();
        QVERIFY(!created.ok());
        QCOMPARE(describe(created.error()), expected);
        // The format step comes before any file or folder exists.
        if (what.startsWith(QStringLiteral("format")) || what == QStringLiteral("nodescription")) {
            QVERIFY(rig.script->paths.isEmpty());
            QVERIFY(!QFileInfo::exists(home.path() + QStringLiteral("/vessaro")));
        } else {
            QCOMPARE(QFileInfo::exists(rig.script->paths.value(0)), fileLeft);
        }
    }

    void discardRemovesTheFileAndToleratesItsAbsence()
    {
        test::ScopedCacheHome home;
        Rig rig;
        QVERIFY(rig.create().ok());
        rig.feed(100);
        rig.writer->discard();
        QVERIFY(!QFileInfo::exists(rig.writer->url()));
        QCOMPARE(rig.script->cancelled, 1);
        rig.writer->discard();
    }

    void twoWritersTwoNamesOneFolder()
    {
        test::ScopedCacheHome home;
        Rig first;
        Rig second;
        QVERIFY(first.create().ok());
        QVERIFY(second.create().ok());
        QVERIFY(first.writer->url() != second.writer->url());
        QCOMPARE(QFileInfo(first.writer->url()).absolutePath(), home.recordingsDirectory());
        QCOMPARE(QFileInfo(second.writer->url()).absolutePath(), home.recordingsDirectory());
        QVERIFY(QFileInfo(first.writer->url()).fileName().startsWith(QStringLiteral("recording-")));
        QCOMPARE(QFileInfo(first.writer->url()).fileName().size(), qsizetype(10 + 36 + 4));
        QCOMPARE(QFileInfo(home.recordingsDirectory()).permissions() & 0x0077, QFileDevice::Permissions());
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
        test::ScopedCacheHome home;
        Rig rig;
        QVERIFY(rig.create().ok());
        rig.feed(480);
        // One sample in the second buffer, the rest zeros.
        std::vector<float> samples(480 * 2, 0.0F);
        samples[333] = sample;
        AudioBufferList list{1, {{2, 480 * 8, samples.data()}}};
        rig.writer->append(&list);
        QCOMPARE(rig.writer->frames(), std::int64_t(960));
        QCOMPARE(rig.writer->isSilent(), silent);
        rig.writer->discard();
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
        constexpr std::int64_t totalFrames = std::int64_t{5} * 3600 * rate;
        // Ten seconds of full-scale noise, played over and over.
        std::vector<float> noise(std::size_t{rate} * 10 * 2);
        std::mt19937 random(11);
        std::uniform_real_distribution<float> uniform(-1.0F, 0.999F);
        for (float& value : noise)
            value = uniform(random);
        // Twenty times faster than real time, about what the encoder manages
        // with full-scale noise on a busy machine; a ring of ten minutes takes
        // up the encoder's slower spells.
        auto made = AudioSampleWriter::create(SimulatedAudioHardware::stereoFloat(rate),
                                              std::make_shared<FfmpegMediaWriterFactory>(std::size_t{rate} * 8 * 600));
        QVERIFY(made.ok());
        const std::shared_ptr<AudioSampleWriter> writer = made.value();
        const auto started = std::chrono::steady_clock::now();
        for (std::int64_t fed = 0; fed < totalFrames; fed += framesPerBuffer) {
            const std::size_t offset = static_cast<std::size_t>(fed % (std::int64_t{rate} * 10)) * 2;
            AudioBufferList list{1, {{2, framesPerBuffer * 8, noise.data() + offset}}};
            writer->append(&list);
            if (fed % (std::int64_t{rate} * 60) == 0) {
                if (const auto ended = writer->interruption())
                    QFAIL(qPrintable(ended->localizedDescription()));
                const auto due = started + std::chrono::duration<double>(double(fed) / rate / 20);
                std::this_thread::sleep_until(due);
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
