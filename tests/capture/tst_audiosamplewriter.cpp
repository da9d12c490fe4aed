// The writer of one recording, over fake media: time stamps, the end of the intake, both ways of finishing, and the
// file and its lock.

#include "base/AudioStreamBasicDescription.h"
#include "base/FileLock.h"
#include "capture/AudioSampleWriter.h"
#include "support/FakeMediaWriter.h"
#include "support/TestSupport.h"

#include <QFileInfo>
#include <QTest>

#include <vector>

using namespace vessaro;

namespace {

struct Rig {
    test::ScopedCacheHome home;
    std::shared_ptr<test::FakeMediaScript> script = std::make_shared<test::FakeMediaScript>();
    std::shared_ptr<AudioSampleWriter> writer;

    bool create()
    {
        auto made = AudioSampleWriter::create(
            AudioStreamBasicDescription::stereoFloat(48000), std::make_shared<test::FakeMediaWriterFactory>(script));
        writer = made ? made.value() : nullptr;
        return writer != nullptr;
    }
    // `bytes` bytes of `sample`, as one buffer.
    void feed(std::uint32_t bytes, float sample = 0) const
    {
        std::vector<float> samples(bytes / sizeof(float) + 1, sample);
        AudioBufferList list { 1, { { 2, bytes, samples.data() } } };
        writer->append(&list);
    }
};

using Case = RecorderError::Case;

std::optional<Case> caseOf(const std::optional<Error>& error)
{
    if (!error || !error->recorderError())
        return std::nullopt;
    return error->recorderError()->kind();
}

} // namespace

class AudioSampleWriterTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Time stamps come from the frame counter; partial frames and unusable lists are dropped; the track gets the
    // captured rate and channels, ALAC, and a hint of 24 bits. Each writer has a file of its own in a private folder.
    void framesAndTimestamps()
    {
        Rig rig;
        QVERIFY(rig.create());
        rig.feed(512 * 8);
        rig.feed(7); // less than one frame
        AudioBufferList noData { 1, { { 2, 64, nullptr } } };
        rig.writer->append(&noData);
        rig.writer->append(nullptr);
        rig.feed(480 * 8 + 5);
        QCOMPARE(rig.script->presentationFrames, QList<std::int64_t>({ 0, 512 }));
        QCOMPARE(rig.script->frameCounts, QList<std::uint32_t>({ 512, 480 }));
        QCOMPARE(rig.writer->capturedSeconds(), 992 / 48000.0);
        const AudioOutputSettings& settings = *rig.script->settings;
        QCOMPARE(QList<double>({ settings.sampleRate, double(settings.numberOfChannels),
                     double(settings.encoderBitDepthHint), double(settings.formatID) }),
            QList<double>({ 48000, 2, 24, double(kAudioFormatAppleLossless) }));
        QVERIFY(rig.create());
        QVERIFY(rig.script->paths[0] != rig.script->paths[1]);
        QCOMPARE(QFileInfo(rig.script->paths[0]).absolutePath(), rig.home.recordingsDirectory());
        QCOMPARE(QFileInfo(rig.home.recordingsDirectory()).permissions() & 0x0077, QFileDevice::Permissions());
    }

    // How the intake ended, and what finishing makes of it: it keeps every sample that reached the file whole (finish()
    // wraps it, for whole takes). The first failure is the one told, and a refused buffer counts no frames.
    void intakeAndFinish_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<std::int64_t>("frames");
        QTest::addColumn<std::optional<Case>>("failure");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<QString>("reason"); // the writer's own wording, when it gives the reason
        const auto row = [](const char* how, std::int64_t frames, std::optional<Case> failure, bool kept,
                             const char* reason = "") {
            QTest::newRow(how) << QString::fromLatin1(how) << frames << failure << kept << QString::fromUtf8(reason);
        };
        const auto append = Case::writerAppendFailed;
        row("whole take", 200, {}, true);
        row("refused", 100, append, true, "磁盘写入跟不上录音，已停止接收以避免静默丢帧。");
        row("lost", 100, append, true, "声音服务丢掉了一段音频，已停止接收以避免静默丢帧。");
        row("not made, then lost: the first stays", 100, Case::captureFailed, true);
        row("unfinished, fragments kept on a full disk", 200, append, true);
        row("unfinished, nothing whole", 200, append, false);
        row("unfinished, unreadable", 200, append, false);
        row("silent", 0, Case::noAudioReceived, false);
    }

    void intakeAndFinish()
    {
        QFETCH(QString, how);
        QFETCH(std::int64_t, frames);
        QFETCH(std::optional<Case>, failure);
        QFETCH(bool, kept);
        QFETCH(QString, reason);
        const bool intakeEnds = frames == 100; // the second buffer refused, or past the end
        Rig rig;
        QVERIFY(rig.create());
        const QString path = rig.writer->path();
        QVERIFY(!FileLock::tryToLock(path).value()); // locked from creation
        if (how.contains(QStringLiteral("full")))
            rig.script->writerError = QStringLiteral("No space left on device");
        if (how != QStringLiteral("silent"))
            rig.feed(100 * 8);
        rig.script->readyFor = how == QStringLiteral("refused") ? 1 : -1;
        rig.script->createBufferStatus = how.startsWith(QStringLiteral("not made")) ? -12731 : 0;
        if (how == QStringLiteral("lost"))
            rig.writer->noteLoss(4096);
        if (how != QStringLiteral("silent"))
            rig.feed(100 * 8); // refused, failed or ignored where the intake ends
        if (how.startsWith(QStringLiteral("not made")))
            rig.writer->noteLoss(4096);
        rig.script->readyFor = -1;
        rig.script->createBufferStatus = 0;
        if (intakeEnds)
            rig.feed(100 * 8); // the writer would take it, but the intake has ended
        QCOMPARE(rig.writer->frames(), frames);
        QCOMPARE(caseOf(rig.writer->interruption()), intakeEnds ? failure : std::nullopt);
        if (!reason.isEmpty())
            QCOMPARE(rig.writer->interruption()->text(), reason);
        if (how.startsWith(QStringLiteral("unfinished"))) {
            rig.script->finishCompletes = false;
            rig.script->keepsFileOnFailure = kept;
            rig.script->unreadable = how.contains(QStringLiteral("unreadable"));
        }
        FinishedWriting finished = rig.writer->finishKeepingAudio();
        QCOMPARE(caseOf(finished.failure), failure);
        QCOMPARE(finished.kept.has_value(), kept);
        if (kept) {
            QVERIFY(finished.kept->path == path && !FileLock::tryToLock(path).value()); // handed over, still held
            finished.kept->lock.release();
        }
        // Only a file proven to hold no audio goes; a failure that leaves one outside `kept` says where.
        QCOMPARE(QFileInfo::exists(path), kept || rig.script->unreadable);
        QCOMPARE(finished.failure && finished.failure->localizedDescription().contains(path), rig.script->unreadable);
        QVERIFY(!QFileInfo::exists(path) || FileLock::tryToLock(path).value());
    }
};

QTEST_GUILESS_MAIN(AudioSampleWriterTest)
#include "tst_audiosamplewriter.moc"
