// The capture service over the real driver on simulated hardware and fake media: what each operation leaves behind, and
// what a running capture tells.

#include "support/SimulatedCapture.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

using namespace vessaro;
using Call = SimulatedAudioHardware::Call;

namespace {

struct Rig : test::SimulatedCapture {
    QStringList recordings() const { return QDir(home.recordingsDirectory()).entryList(QDir::Files); }
    bool started() const { return test::await(service->prepare()) && test::await(service->start()); }
    test::ScopedCacheHome home;
};

using Case = RecorderError::Case;
using Failure = std::pair<std::optional<Case>, std::int32_t>;

// The failure's case and status; {} on success.
template <typename T> Failure failure(const Result<T>& result)
{
    const RecorderError* error = result ? nullptr : result.error().recorderError();
    return error ? Failure(error->kind(), error->status()) : Failure();
}

} // namespace

class SystemAudioCaptureServiceTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Stop and start out of turn, around one recording.
    void aRecordingAmongOperationsOutOfTurn()
    {
        Rig rig;
        QCOMPARE(failure(test::await(rig.service->stop())), Failure(Case::noAudioReceived, 0));
        // A fresh driver's format is all zeros: the writer's format step refuses it.
        QCOMPARE(failure(test::await(rig.service->start())).first, Case::captureFailed);
        QVERIFY(rig.recordings().isEmpty());

        QVERIFY(rig.started());
        rig.deliver(480);
        QCOMPARE(failure(test::await(rig.service->start())).first, Case::invalidOutput);
        rig.deliver(480, 0.5F / 8388608.0F); // rounds to zero in 24 bits: still silence
        auto stopped = test::await(rig.service->stop());
        QVERIFY(stopped);
        QCOMPARE(rig.recordings(), QStringList { QFileInfo(stopped.value().path).fileName() });
        QVERIFY(stopped.value().silent && !stopped.value().interruption);
        QCOMPARE(rig.script->presentationFrames, QList<std::int64_t>({ 0, 480 }));
        QCOMPARE(rig.hardware->heldObjects(), 0);

        // The driver keeps its last format, so a writer is made and discarded.
        QCOMPARE(failure(test::await(rig.service->start())).first, Case::invalidOutput);
        QCOMPARE(rig.recordings().size(), 1);

        // A file that does not validate is neither returned nor removed, and the failure says where it stays.
        rig.asset->tracks = QList<MediaAsset::TrackID>();
        QVERIFY(rig.started());
        rig.deliver(100);
        const auto refused = test::await(rig.service->stop());
        QCOMPARE(failure(refused).first, Case::writerAppendFailed);
        QVERIFY(refused.error().localizedDescription().contains(rig.script->paths.last()));
        QVERIFY(test::await(rig.service->cancel()));
        QCOMPARE(rig.recordings().size(), 2);
    }

    // A cancellation before start touches nothing; one that lands while the capture starts stops it again, and no file
    // is left.
    void cancellation()
    {
        for (const bool whileStarting : { false, true }) {
            auto token = CancellationToken::create();
            Rig rig;
            QVERIFY(test::await(rig.service->prepare()));
            const auto callsBefore = rig.hardware->calls().size();
            if (whileStarting)
                rig.script->onCreate = [token] { token->cancel(); };
            else
                token->cancel();
            auto started = test::await(rig.service->start(token));
            QVERIFY(!started && started.error().isCancellation());
            QVERIFY(rig.recordings().isEmpty());
            // Started and stopped again, or never touched.
            QCOMPARE(whileStarting ? rig.hardware->heldObjects() : rig.hardware->calls().size() - callsBefore, 0);
        }
    }

    // A driver that fails to stop loses nothing: once its callbacks are gone the take is finished and kept with the
    // failure; while they are not, the writer stays, and the release that stops the driver at last keeps it.
    void aDriverThatCannotStopLosesNothing()
    {
        Rig rig;
        QVERIFY(rig.started());
        rig.deliver(100);
        rig.hardware->failCall(Call::destroyAggregateDevice, -3, 1);
        auto cut = test::await(rig.service->stop());
        QVERIFY(cut && cut.value().interruption);
        QCOMPARE(failure(Result<void>(*cut.value().interruption)), Failure(Case::captureFailed, -3));

        QVERIFY(rig.started());
        rig.deliver(100);
        rig.hardware->failCall(Call::destroyIOProc, -4, 2);
        rig.hardware->failCall(Call::destroyAggregateDevice, -3, 2);
        QCOMPARE(failure(test::await(rig.service->stop())), Failure(Case::captureFailed, -4));
        QCOMPARE(failure(test::await(rig.service->cancel())), Failure(Case::captureFailed, -4));
        QSignalSpy kept(rig.service->events(), &CaptureEvents::recordingKept);
        QVERIFY(rig.started());
        QCOMPARE(kept.count(), 1);
        QCOMPARE(rig.recordings().size(), 3);
    }

    // What happens to a running capture reaches the caller at once, through queued signals, once; the recording still
    // ends with stop(), keeping what came before a cut, with the reason.
    void theRunningCaptureIsToldAtOnce_data()
    {
        QTest::addColumn<int>("happening"); // an AudioDeviceEvent, or -1: the server lost audio
        QTest::addColumn<std::optional<Case>>("cut");
        QTest::newRow("output followed") << int(AudioDeviceEvent::followedOutput) << std::optional<Case>();
        QTest::newRow("server lost: what came is kept") << int(AudioDeviceEvent::serverLost) << std::optional<Case>();
        QTest::newRow("audio lost") << -1 << std::optional<Case>(Case::writerAppendFailed);
    }

    void theRunningCaptureIsToldAtOnce()
    {
        QFETCH(int, happening);
        QFETCH(std::optional<Case>, cut);
        Rig rig;
        const CaptureEvents* events = rig.service->events();
        QSignalSpy interrupted(events, &CaptureEvents::captureInterrupted),
            followed(events, &CaptureEvents::outputFollowed), reconnected(events, &CaptureEvents::serverReconnected);
        QVERIFY(rig.started());
        rig.deliver(4800, 1.0F / 8388608.0F); // the quietest sound 24 bits hold
        QVERIFY(happening < 0 ? rig.hardware->reportLoss(800) : rig.hardware->reportEvent(AudioDeviceEvent(happening)));
        QTRY_COMPARE(interrupted.size() + followed.size() + reconnected.size(), 1);
        // A lost server delivers nothing more; elsewhere the capture goes on.
        if (happening != int(AudioDeviceEvent::serverLost))
            rig.deliver(480, 0.25F);
        QTest::qWait(3 * SystemAudioCaptureService::watchIntervalMilliseconds);
        const auto told = happening < 0 ? int(AudioDeviceEvent::serverLost) : happening;
        QCOMPARE(QList<qsizetype>({ interrupted.size(), followed.size(), reconnected.size() }),
            QList<qsizetype>({ told == int(AudioDeviceEvent::serverLost), told == int(AudioDeviceEvent::followedOutput),
                told == int(AudioDeviceEvent::reconnected) }));
        if (!interrupted.isEmpty())
            QCOMPARE(interrupted.first().value(1).toDouble(), 0.1);
        const auto stopped = test::await(rig.service->stop());
        QVERIFY(stopped && !stopped.value().silent && stopped.value().lock->isHeld());
        const auto& interruption = stopped.value().interruption;
        QCOMPARE(interruption ? std::optional(interruption->recorderError()->kind()) : std::nullopt, cut);
        QCOMPARE(rig.hardware->heldObjects(), 0);
    }
};

QTEST_GUILESS_MAIN(SystemAudioCaptureServiceTest)
#include "tst_systemaudiocaptureservice.moc"
