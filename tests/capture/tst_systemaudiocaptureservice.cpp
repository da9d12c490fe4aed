#include "capture/CoreAudioTapDriver.h"
#include "capture/SystemAudioCaptureService.h"
#include "capture/hal/SimulatedAudioHardware.h"
#include "support/FakeMediaWriter.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QSemaphore>
#include <QTest>

#include <vector>

using namespace vessaro;
using Call = SimulatedAudioHardware::Call;

namespace {

// Passes everything to a real driver, and cancels a token right after the
// capture started: the moment a caller's cancellation can land.
class CancellingDriver final : public AudioCaptureDriver {
public:
    CancellingDriver(std::unique_ptr<AudioCaptureDriver> inner, CancellationTokenPtr token)
        : m_inner(std::move(inner)), m_token(std::move(token))
    {
    }
    AudioStreamBasicDescription format() const override { return m_inner->format(); }
    Diagnostics diagnostics() const override { return m_inner->diagnostics(); }
    Result<void> prepare() override { return m_inner->prepare(); }
    Result<void> start(ReceiveCallback receive, LossCallback loss, EventCallback events) override
    {
        auto started = m_inner->start(std::move(receive), std::move(loss), std::move(events));
        m_token->cancel();
        return started;
    }
    Result<void> stop() override { return m_inner->stop(); }

private:
    std::unique_ptr<AudioCaptureDriver> m_inner;
    CancellationTokenPtr m_token;
};

// What the service's events told, received on the test thread (queued).
struct Told {
    explicit Told(CaptureEvents* events)
    {
        QObject::connect(events, &CaptureEvents::captureInterrupted, &context,
                         [this](const QString& reason, double seconds) {
                             interruptions.append(reason);
                             capturedSeconds = seconds;
                         });
        QObject::connect(events, &CaptureEvents::outputFollowed, &context, [this] { ++followed; });
        QObject::connect(events, &CaptureEvents::serverReconnected, &context, [this] { ++reconnected; });
    }
    QObject context;
    QStringList interruptions;
    double capturedSeconds = -1;
    int followed = 0;
    int reconnected = 0;
};

struct Rig {
    explicit Rig(CancellationTokenPtr cancelAfterStart = {})
    {
        auto hardwareOwned = std::make_unique<SimulatedAudioHardware>();
        hardware = hardwareOwned.get();
        std::unique_ptr<AudioCaptureDriver> driver = std::make_unique<CoreAudioTapDriver>(std::move(hardwareOwned));
        if (cancelAfterStart)
            driver = std::make_unique<CancellingDriver>(std::move(driver), cancelAfterStart);
        service = std::make_unique<SystemAudioCaptureService>(std::move(driver),
                                                              std::make_shared<test::FakeMediaWriterFactory>(script),
                                                              std::make_shared<test::FakeMediaAssetOpener>(asset));
    }

    void deliver(std::uint32_t frames, float sample = 0)
    {
        std::vector<float> bytes(frames * 2, sample);
        AudioBufferList list{1, {{2, frames * 8, bytes.data()}}};
        hardware->deliver(&list);
    }
    QStringList recordings() const { return QDir(home.recordingsDirectory()).entryList(QDir::Files); }

    test::ScopedCacheHome home;
    std::shared_ptr<test::FakeMediaScript> script = std::make_shared<test::FakeMediaScript>();
    std::shared_ptr<test::FakeAssetScript> asset = std::make_shared<test::FakeAssetScript>();
    SimulatedAudioHardware* hardware = nullptr;
    std::unique_ptr<SystemAudioCaptureService> service;
};

template <typename T>
QString describe(const Result<T>& result)
{
    return result.ok() ? QStringLiteral("ok") : result.error().localizedDescription();
}

const QString kNoAudio = QStringLiteral("没有收到系统音频。请确认声音服务正在运行，并确认电脑正在播放声音。");
const QString kNotReady = QStringLiteral("录音设备未准备好或已开始录制。");

} // namespace

class SystemAudioCaptureServiceTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void recordingRoundTrip()
    {
        Rig rig;
        QVERIFY(test::await(rig.service->prepare()).ok());
        QVERIFY(test::await(rig.service->start()).ok());
        QCOMPARE(test::await(rig.service->diagnostics()).value(QStringLiteral("running")), QStringLiteral("true"));
        rig.deliver(480);
        rig.deliver(480);
        auto stopped = test::await(rig.service->stop());
        QVERIFY2(stopped.ok(), qPrintable(describe(stopped)));
        QVERIFY(QFileInfo::exists(stopped.value().path));
        QCOMPARE(stopped.value().summary.duration, 1.0);
        QCOMPARE(stopped.value().summary.fileSize, qint64(4));
        QVERIFY(stopped.value().silent);
        QCOMPARE(rig.script->presentationFrames, QList<std::int64_t>({0, 480}));
        QCOMPARE(rig.hardware->heldObjects(), 0);
        QCOMPARE(test::await(rig.service->diagnostics()).value(QStringLiteral("io")), QStringLiteral("none"));
    }

    void stopWithNothingStarted()
    {
        Rig rig;
        QCOMPARE(describe(test::await(rig.service->stop())), kNoAudio);
        QCOMPARE(rig.hardware->calls(), QStringList({QStringLiteral("drainAudioQueue")}));
    }

    void recordingWithoutAudioLeavesNoFile()
    {
        Rig rig;
        QVERIFY(test::await(rig.service->prepare()).ok());
        QVERIFY(test::await(rig.service->start()).ok());
        QCOMPARE(rig.recordings().size(), 1);
        QCOMPARE(describe(test::await(rig.service->stop())), kNoAudio);
        QVERIFY(rig.recordings().isEmpty());
    }

    void startWithoutPrepareOnAFreshDriver()
    {
        Rig rig;
        QCOMPARE(describe(test::await(rig.service->start())),
                 QStringLiteral("读取音频格式失败（-22）。请确认声音服务正在运行后重试。"));
        QVERIFY(rig.recordings().isEmpty());
        // Nothing is held: a stop finds no writer.
        QCOMPARE(describe(test::await(rig.service->stop())), kNoAudio);
    }

    void startWithoutPrepareAfterARecording()
    {
        Rig rig;
        QVERIFY(test::await(rig.service->prepare()).ok());
        QVERIFY(test::await(rig.service->start()).ok());
        rig.deliver(100);
        auto first = test::await(rig.service->stop());
        QVERIFY(first.ok());
        // The driver keeps its last format, so a writer is built and then discarded.
        QCOMPARE(describe(test::await(rig.service->start())), kNotReady);
        QCOMPARE(rig.recordings(), QStringList({QFileInfo(first.value().path).fileName()}));
        QCOMPARE(describe(test::await(rig.service->stop())), kNoAudio);
    }

    void startWhileRecordingLeavesTheRecordingAlone()
    {
        Rig rig;
        QVERIFY(test::await(rig.service->prepare()).ok());
        QVERIFY(test::await(rig.service->start()).ok());
        rig.deliver(100);
        QCOMPARE(describe(test::await(rig.service->start())), kNotReady);
        rig.deliver(100);
        auto stopped = test::await(rig.service->stop());
        QVERIFY(stopped.ok());
        QCOMPARE(rig.script->presentationFrames, QList<std::int64_t>({0, 100}));
    }

    void cancelledBeforeStartTouchesNothing()
    {
        Rig rig;
        QVERIFY(test::await(rig.service->prepare()).ok());
        rig.hardware->clearCalls();
        auto token = CancellationToken::create();
        token->cancel();
        auto started = test::await(rig.service->start(token));
        QVERIFY(!started.ok() && started.error().isCancellation());
        QVERIFY(rig.hardware->calls().isEmpty());
        QVERIFY(rig.script->paths.isEmpty());
    }

    void cancelledRightAfterTheDriverStarted()
    {
        auto token = CancellationToken::create();
        Rig rig(token);
        QVERIFY(test::await(rig.service->prepare()).ok());
        auto started = test::await(rig.service->start(token));
        QVERIFY(!started.ok() && started.error().isCancellation());
        QCOMPARE(rig.hardware->heldObjects(), 0);
        QVERIFY(rig.recordings().isEmpty());
        QCOMPARE(test::await(rig.service->diagnostics()).value(QStringLiteral("running")), QStringLiteral("false"));
    }

    void failedCleanupReplacesTheStartErrorAndKeepsTheWriter()
    {
        Rig rig;
        QVERIFY(test::await(rig.service->prepare()).ok());
        rig.hardware->failCall(Call::deviceStart, -1);
        rig.hardware->failCall(Call::destroyProcessTap, -2, 1);
        QCOMPARE(describe(test::await(rig.service->start())),
                 QStringLiteral("释放系统音频采集失败（-2）。请确认声音服务正在运行后重试。"));
        QCOMPARE(rig.recordings().size(), 1);
        QVERIFY(test::await(rig.service->cancel()).ok());
        QVERIFY(rig.recordings().isEmpty());
        QCOMPARE(rig.hardware->heldObjects(), 0);
    }

    void stopFailingAtTheDriverKeepsTheWriterForCancel()
    {
        Rig rig;
        QVERIFY(test::await(rig.service->prepare()).ok());
        QVERIFY(test::await(rig.service->start()).ok());
        rig.deliver(100);
        rig.hardware->failCall(Call::deviceStop, -3, 1);
        QCOMPARE(describe(test::await(rig.service->stop())),
                 QStringLiteral("停止音频设备失败（-3）。请确认声音服务正在运行后重试。"));
        QCOMPARE(rig.recordings().size(), 1);
        QVERIFY(test::await(rig.service->cancel()).ok());
        QVERIFY(rig.recordings().isEmpty());
    }

    // A cancel that could not stop the driver keeps its writer; the next
    // recording lets it go and works, and only the new file is left.
    void abandonedWriterGivesWayToTheNextRecording()
    {
        Rig rig;
        QVERIFY(test::await(rig.service->prepare()).ok());
        QVERIFY(test::await(rig.service->start()).ok());
        rig.deliver(100);
        rig.hardware->failCall(Call::deviceStop, -3, 1);
        QVERIFY(!test::await(rig.service->cancel()).ok());
        QVERIFY(test::await(rig.service->prepare()).ok());
        QVERIFY(test::await(rig.service->start()).ok());
        rig.deliver(100);
        auto stopped = test::await(rig.service->stop());
        QVERIFY2(stopped.ok(), qPrintable(describe(stopped)));
        QCOMPARE(rig.recordings(), QStringList({QFileInfo(stopped.value().path).fileName()}));
    }

    void cancelTwice()
    {
        Rig rig;
        QVERIFY(test::await(rig.service->prepare()).ok());
        QVERIFY(test::await(rig.service->start()).ok());
        QVERIFY(test::await(rig.service->cancel()).ok());
        QVERIFY(rig.recordings().isEmpty());
        rig.hardware->clearCalls();
        QVERIFY(test::await(rig.service->cancel()).ok());
        QCOMPARE(rig.hardware->calls(), QStringList({QStringLiteral("drainAudioQueue")}));
    }

    void invalidFileIsNeitherReturnedNorRemoved()
    {
        Rig rig;
        rig.asset->tracks = QList<MediaAsset::TrackID>();
        QVERIFY(test::await(rig.service->prepare()).ok());
        QVERIFY(test::await(rig.service->start()).ok());
        rig.deliver(100);
        QCOMPARE(describe(test::await(rig.service->stop())), QStringLiteral("导出的 MP4 中没有音频轨道。"));
        QVERIFY(test::await(rig.service->cancel()).ok());
        QCOMPARE(rig.recordings().size(), 1);
    }

    // What happens to a running capture reaches the caller at once, through
    // queued signals; the recording still ends with stop().
    void theRunningCaptureIsToldAtOnce_data()
    {
        QTest::addColumn<std::uint32_t>("framesBefore");
        QTest::addColumn<QString>("happening");
        QTest::addColumn<bool>("interrupted");
        QTest::addColumn<int>("stopKind");  // -1: a whole file; else the RecorderError case, with the
                                            // file before the cut kept when audio came
        const int file = -1;
        const auto kind = [](RecorderError::Case c) { return static_cast<int>(c); };
        QTest::newRow("output followed") << 4800u << "followedOutput" << false << file;
        QTest::newRow("server reconnected") << 4800u << "reconnected" << false << file;
        QTest::newRow("server lost: what came is kept") << 4800u << "serverLost" << true << file;
        QTest::newRow("server lost before any audio")
            << 0u << "serverLost" << true << kind(RecorderError::Case::noAudioReceived);
        QTest::newRow("audio lost") << 4800u << "loss" << true << kind(RecorderError::Case::writerAppendFailed);
    }

    void theRunningCaptureIsToldAtOnce()
    {
        QFETCH(std::uint32_t, framesBefore);
        QFETCH(QString, happening);
        QFETCH(bool, interrupted);
        QFETCH(int, stopKind);
        Rig rig;
        Told told(rig.service->events());
        QVERIFY(test::await(rig.service->prepare()).ok());
        QVERIFY(test::await(rig.service->start()).ok());
        if (framesBefore > 0)
            rig.deliver(framesBefore, 0.25F);
        if (happening == QStringLiteral("loss"))
            QVERIFY(rig.hardware->reportLoss(800));
        else
            QVERIFY(rig.hardware->reportEvent(happening == QStringLiteral("followedOutput")
                                                  ? AudioDeviceEvent::followedOutput
                                                  : happening == QStringLiteral("reconnected")
                                                  ? AudioDeviceEvent::reconnected
                                                  : AudioDeviceEvent::serverLost));
        if (interrupted) {
            QTRY_COMPARE(told.interruptions.size(), 1);
            QVERIFY(!told.interruptions.front().isEmpty());
            QCOMPARE(told.capturedSeconds, framesBefore / 48000.0);
        } else {
            QTRY_COMPARE(told.followed + told.reconnected, 1);
            QCOMPARE(told.followed, happening == QStringLiteral("followedOutput") ? 1 : 0);
        }
        // A lost server delivers nothing more; elsewhere the capture goes on.
        if (happening != QStringLiteral("serverLost"))
            rig.deliver(480, 0.25F);
        // Told once only, however long the recording goes on.
        QTest::qWait(3 * SystemAudioCaptureService::watchIntervalMilliseconds);
        QCOMPARE(told.interruptions.size(), interrupted ? 1 : 0);

        const auto stopped = test::await(rig.service->stop());
        if (stopKind < 0) {
            QVERIFY2(stopped.ok(), qPrintable(describe(stopped)));
            QVERIFY(!stopped.value().silent);
        } else if (framesBefore > 0) {
            // Cut short: what came before the cut is kept, and the reason told.
            QVERIFY2(stopped.ok() && stopped.value().interruption, qPrintable(describe(stopped)));
            QCOMPARE(static_cast<int>(stopped.value().interruption->recorderError()->kind()), stopKind);
            QCOMPARE(rig.recordings().size(), 1);
            QVERIFY(stopped.value().lock && stopped.value().lock->isHeld());
        } else {
            QVERIFY(!stopped.ok());
            QCOMPARE(static_cast<int>(stopped.error().recorderError()->kind()), stopKind);
            QVERIFY(rig.recordings().isEmpty());
        }
        QCOMPARE(rig.hardware->heldObjects(), 0);
    }

    void otherOperationsRunWhileTheFileIsFinished()
    {
        Rig rig;
        QSemaphore entered;
        QSemaphore release;
        rig.script->onFinish = [&] {
            entered.release();
            release.acquire();
        };
        QVERIFY(test::await(rig.service->prepare()).ok());
        QVERIFY(test::await(rig.service->start()).ok());
        rig.deliver(100);
        auto stopping = rig.service->stop();
        QVERIFY(entered.tryAcquire(1, 10000));
        // The executor is free: a cancel arriving now finds no writer and only stops the driver again.
        QVERIFY(test::await(rig.service->cancel()).ok());
        QCOMPARE(test::await(rig.service->diagnostics()).value(QStringLiteral("device")), QStringLiteral("0"));
        QVERIFY(!stopping.isFinished());
        release.release();
        QVERIFY(test::await(stopping).ok());
    }
};

QTEST_GUILESS_MAIN(SystemAudioCaptureServiceTest)
#include "tst_systemaudiocaptureservice.moc"
