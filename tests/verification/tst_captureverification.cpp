// The self-test run in process, over the real engine on simulated hardware
// and fake media, with time that passes at once.

#include "support/ForwardingDriver.h"
#include "support/SimulatedCapture.h"
#include "support/TestSupport.h"
#include "verification/CaptureVerification.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPromise>
#include <QTest>

using namespace vessaro;
using Call = SimulatedAudioHardware::Call;

namespace {

// Claims to hold what `stuck` sets: a fault that no hardware shows.
class StuckDriver final : public test::ForwardingDriver {
public:
    StuckDriver(std::unique_ptr<AudioCaptureDriver> inner, std::function<void(Diagnostics&)> stuck)
        : ForwardingDriver(std::move(inner))
        , m_stuck(std::move(stuck))
    { }
    Diagnostics diagnostics() const override
    {
        Diagnostics diagnostics = ForwardingDriver::diagnostics();
        if (m_stuck)
            m_stuck(diagnostics);
        return diagnostics;
    }

private:
    std::function<void(Diagnostics&)> m_stuck;
};

// Time passes at once, and audio plays while it does: a sound in the first
// two cycles, digital silence in the third. `onSleep` runs first.
class PlayingClock final : public Clock {
public:
    explicit PlayingClock(SimulatedAudioHardware* hardware)
        : m_hardware(hardware)
    { }
    QDateTime now() const override { return QDateTime::currentDateTimeUtc(); }
    QFuture<bool> sleep(std::chrono::nanoseconds duration, CancellationTokenPtr) override
    {
        requested.append(duration);
        if (onSleep)
            onSleep(*m_hardware);
        test::SimulatedCapture::deliver(*m_hardware, 48000, requested.size() == 3 ? 0.0F : 0.25F);
        QPromise<bool> promise;
        promise.start();
        promise.addResult(true);
        promise.finish();
        return promise.future();
    }
    QList<std::chrono::nanoseconds> requested;
    std::function<void(SimulatedAudioHardware&)> onSleep;

private:
    SimulatedAudioHardware* m_hardware;
};

struct Run {
    QJsonObject report;
    bool terminated = false;
    std::shared_ptr<PlayingClock> clock;
    QStringList recordings;
};

// `setUp` may script the hardware and the clock before the run.
Run verify(const QString& directory, const std::function<void(Diagnostics&)>& stuck = {},
    const std::function<void(SimulatedAudioHardware&, PlayingClock&)>& setUp = {})
{
    auto hardware = std::make_shared<std::unique_ptr<AudioHardware>>(std::make_unique<SimulatedAudioHardware>());
    auto* simulated = static_cast<SimulatedAudioHardware*>(hardware->get());
    Run run;
    run.clock = std::make_shared<PlayingClock>(simulated);
    if (setUp)
        setUp(*simulated, *run.clock);
    CaptureVerification::Options options;
    options.makeDriver = [hardware, stuck] {
        return std::make_unique<StuckDriver>(std::make_unique<CoreAudioTapDriver>(std::move(*hardware)), stuck);
    };
    options.clock = run.clock;
    options.writers = std::make_shared<test::FakeMediaWriterFactory>(std::make_shared<test::FakeMediaScript>());
    options.assets = std::make_shared<test::FakeMediaAssetOpener>(std::make_shared<test::FakeAssetScript>());
    (void)CaptureVerification::run(
        directory, [&run] { run.terminated = true; }, options);
    QDeadlineTimer deadline(20000);
    while (!run.terminated && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QFile file(directory + QStringLiteral("/result.json"));
    if (file.open(QIODevice::ReadOnly))
        run.report = QJsonDocument::fromJson(file.readAll()).object();
    run.recordings = QDir(directory).entryList({ QStringLiteral("*.mp4") }, QDir::Files, QDir::Name);
    return run;
}

QJsonObject json(const Diagnostics& diagnostics)
{
    QJsonObject object;
    for (const auto& [key, value] : diagnostics.entries().asKeyValueRange())
        object.insert(key, value);
    return object;
}

} // namespace

class CaptureVerificationTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void argumentScan_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("directory");
        QTest::newRow("absent") << QStringList { "vessaro" } << QString();
        QTest::newRow("flag last") << QStringList { "vessaro", "--verify-capture" } << QString();
        QTest::newRow("twice: the first counts, even before a flag") << QStringList { "vessaro", "--verify-capture",
            "--verify-capture", "/b" } << QDir::current().absoluteFilePath(QStringLiteral("--verify-capture"));
        QTest::newRow("the program path is searched too") << QStringList { "--verify-capture", "/x" } << "/x";
    }

    void argumentScan()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, directory);
        QCOMPARE(CaptureVerification::requestedDirectory(arguments).value_or(QString()), directory);
    }

    void passingRunReportsThreeCyclesAndTheCancelledSnapshot()
    {
        test::ScopedCacheHome home;
        QTemporaryDir dir;
        const Run run = verify(dir.filePath(QStringLiteral("nested/report")));
        const QJsonObject idle = json({ QStringLiteral("Simulated"), 0, 0, false, false, 48000 });
        QJsonArray cycles;
        for (int i = 0; i < 3; ++i) {
            QJsonObject cycle { { "active", run.report["cycles"][i]["active"] }, { "duration", 1.0 },
                { "file", run.recordings.value(i) }, { "stopped", idle } };
            if (i == 2) // only the silent take says so
                cycle.insert(QStringLiteral("silent"), true);
            cycles.append(cycle);
            QVERIFY(run.recordings.value(i).startsWith(QStringLiteral("cycle-%1-").arg(i + 1)));
            QCOMPARE(run.report["cycles"][i]["active"]["running"], QJsonValue(QStringLiteral("true")));
        }
        QCOMPARE(run.report,
            (QJsonObject {
                { "backend", "Simulated" }, { "cancelled", idle }, { "cycles", cycles }, { "status", "passed" } }));
        QVERIFY(QDir(home.recordingsDirectory()).isEmpty());
        QCOMPARE(run.clock->requested, QList<std::chrono::nanoseconds>(3, std::chrono::seconds(3)));
    }

    // Any handle still held after a stop fails the cycle; its recording stays
    // where the engine left it.
    void heldResourcesAfterStopFailTheCycle_data()
    {
        QTest::addColumn<int>("held");
        QTest::newRow("io proc") << 0;
        QTest::newRow("tap") << 1;
        QTest::newRow("device") << 2;
    }

    void heldResourcesAfterStopFailTheCycle()
    {
        QFETCH(int, held);
        test::ScopedCacheHome home;
        QTemporaryDir dir;
        const Run run = verify(dir.path(), [held](Diagnostics& diagnostics) {
            diagnostics.ioProc = held == 0;
            diagnostics.tap = held == 1 ? 7 : 0;
            diagnostics.device = held == 2 ? 9 : 0;
        });
        QCOMPARE(run.report.keys(), QStringList({ "backend", "cycles", "error", "status" }));
        QCOMPARE(run.report["status"], QJsonValue(QStringLiteral("failed")));
        QVERIFY(run.report["cycles"].toArray().isEmpty() && run.recordings.isEmpty());
        QCOMPARE(QDir(home.recordingsDirectory()).entryList(QDir::Files).size(), 1);
    }

    // The first error ends the run: the cycles before it stay, and a failed
    // clean-up is reported beside it.
    void failures_data()
    {
        QTest::addColumn<bool>("inTheSecondCycle");
        QTest::newRow("the second cycle's prepare") << true;
        QTest::newRow("the first prepare, and its clean-up") << false;
    }

    void failures()
    {
        QFETCH(bool, inTheSecondCycle);
        test::ScopedCacheHome home;
        QTemporaryDir dir;
        const Run run = verify(dir.path(), {}, [&](SimulatedAudioHardware& hardware, PlayingClock& clock) {
            if (inTheSecondCycle) {
                clock.onSleep = [](SimulatedAudioHardware& playing) { playing.failCall(Call::createProcessTap, -6); };
                return;
            }
            hardware.failCall(Call::createAggregateDevice, -10);
            hardware.failCall(Call::destroyProcessTap, -11);
        });
        QCOMPARE(run.report.keys(),
            inTheSecondCycle ? QStringList({ "backend", "cycles", "error", "status" })
                             : QStringList({ "backend", "cleanupError", "cycles", "error", "status" }));
        if (!inTheSecondCycle)
            QCOMPARE(run.report["error"], run.report["cleanupError"]);
        QCOMPARE(run.report["status"], QJsonValue(QStringLiteral("failed")));
        QCOMPARE(run.report["cycles"].toArray().size(), run.recordings.size());
        QCOMPARE(run.recordings.size(), inTheSecondCycle ? 1 : 0);
    }

    // A place the report cannot go (below a regular file: root writes through
    // mode bits) gets no report, no recording, and termination all the same.
    void aReportThatCannotBeWrittenStillTerminates()
    {
        test::ScopedCacheHome home;
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("file")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        const Run run = verify(dir.filePath(QStringLiteral("file/report")));
        QVERIFY(run.terminated && run.report.isEmpty() && run.recordings.isEmpty());
        QVERIFY(QDir(home.recordingsDirectory()).entryList(QDir::Files).isEmpty());
    }
};

QTEST_GUILESS_MAIN(CaptureVerificationTest)
#include "tst_captureverification.moc"
