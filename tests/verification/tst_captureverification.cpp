// The self-test run in process, over the real engine on simulated hardware and fake media, with time that passes at
// once.

#include "support/SimulatedCapture.h"
#include "support/TestSupport.h"
#include "verification/CaptureVerification.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace vessaro;
using Call = SimulatedAudioHardware::Call;

namespace {

// The real driver, except that it claims to keep its IO proc: a fault that no hardware shows.
class StuckDriver final : public AudioCaptureDriver {
public:
    explicit StuckDriver(std::unique_ptr<AudioHardware> hardware, bool ioHeld)
        : m_inner(std::move(hardware))
        , m_ioHeld(ioHeld)
    { }
    AudioStreamBasicDescription format() const override { return m_inner.format(); }
    Diagnostics diagnostics() const override
    {
        Diagnostics diagnostics = m_inner.diagnostics();
        diagnostics.ioProc |= m_ioHeld;
        return diagnostics;
    }
    Result<void> prepare(const CaptureTarget& target) override { return m_inner.prepare(target); }
    Result<std::vector<PlayingProgram>> playingPrograms() override { return m_inner.playingPrograms(); }
    Result<void> start(ReceiveCallback receive, LossCallback loss, EventCallback events) override
    {
        return m_inner.start(std::move(receive), std::move(loss), std::move(events));
    }
    Result<void> stop() override { return m_inner.stop(); }
    bool holdsCallbacks() const override { return m_inner.holdsCallbacks(); }

private:
    CoreAudioTapDriver m_inner;
    bool m_ioHeld;
};

// Time passes at once, and audio plays while it does: a sound in the first two cycles, digital silence in the third.
struct PlayingClock final : Clock {
    QDateTime now() const override { return QDateTime::currentDateTimeUtc(); }
    QFuture<bool> sleep(std::chrono::nanoseconds duration, CancellationTokenPtr) override
    {
        requested.append(duration);
        if (failingPrepares)
            hardware->failCall(Call::createProcessTap, -6);
        test::SimulatedCapture::deliver(*hardware, 48000, requested.size() == 3 ? 0.0F : 0.25F);
        return QtFuture::makeReadyFuture(true);
    }
    QList<std::chrono::nanoseconds> requested;
    SimulatedAudioHardware* hardware = nullptr;
    bool failingPrepares = false;
};

} // namespace

class CaptureVerificationTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // A passing run reports three cycles and the snapshot after a cancel. The first error ends the run: the cycles
    // before it stay, and a failed clean-up is reported beside it. An IO proc still held after a stop fails its cycle;
    // the recording stays where the engine left it. A report that cannot be written (below a regular file: root writes
    // through mode bits) still ends the run.
    void runs_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("cycles"); // reported, each with its recording
        QTest::addColumn<int>("leftInTheCache");
        QTest::newRow("passing") << QString() << 3 << 0;
        QTest::newRow("io proc held") << "io held" << 0 << 1;
        QTest::newRow("the second cycle's prepare") << "second prepare" << 1 << 0;
        QTest::newRow("the first prepare, and its clean-up") << "first prepare" << 0 << 0;
        QTest::newRow("report not writable") << "unwritable" << 0 << 0;
    }

    void runs()
    {
        QFETCH(QString, fault);
        QFETCH(int, cycles);
        QFETCH(int, leftInTheCache);
        test::ScopedCacheHome home;
        QTemporaryDir dir;
        QVERIFY(test::writeFile(dir.filePath("file"), {}));
        const QString directory = dir.filePath(fault == QStringLiteral("unwritable") ? "file/report" : "nested/report");
        auto hardware = std::make_shared<std::unique_ptr<AudioHardware>>(std::make_unique<SimulatedAudioHardware>());
        auto* simulated = static_cast<SimulatedAudioHardware*>(hardware->get());
        if (fault == QStringLiteral("first prepare")) {
            simulated->failCall(Call::createAggregateDevice, -10);
            simulated->failCall(Call::destroyProcessTap, -11);
        }
        const auto clock = std::make_shared<PlayingClock>();
        clock->hardware = simulated;
        clock->failingPrepares = fault == QStringLiteral("second prepare");
        CaptureVerification::Options options;
        options.makeDriver = [hardware, fault] {
            return std::make_unique<StuckDriver>(std::move(*hardware), fault == QStringLiteral("io held"));
        };
        options.clock = clock;
        options.writers = std::make_shared<test::FakeMediaWriterFactory>(std::make_shared<test::FakeMediaScript>());
        options.assets = std::make_shared<test::FakeMediaAssetOpener>(std::make_shared<test::FakeAssetScript>());
        bool terminated = false;
        (void)CaptureVerification::run(
            directory, [&terminated] { terminated = true; }, options);
        QTRY_VERIFY_WITH_TIMEOUT(terminated, 20000);
        const QJsonObject report = QJsonDocument::fromJson(test::readAll(directory + "/result.json")).object();
        const QStringList recordings = QDir(directory).entryList({ QStringLiteral("*.mp4") }, QDir::Files, QDir::Name);
        const QString status = fault.isEmpty() ? "passed" : fault == QStringLiteral("unwritable") ? "" : "failed";
        QCOMPARE(report.value(QStringLiteral("status")).toString(), status);
        QCOMPARE(report["cycles"].toArray().size(), cycles);
        QCOMPARE(recordings.size(), cycles);
        QCOMPARE(QDir(home.recordingsDirectory()).entryList(QDir::Files).size(), leftInTheCache);
        QCOMPARE(report.contains("error"), status == "failed");
        QCOMPARE(report.contains("cleanupError"), fault == "first prepare");
        if (status != "passed")
            return;
        QJsonObject idle;
        for (const auto& [key, value] :
            Diagnostics { QStringLiteral("Simulated"), 0, 0, false, false, 48000 }.entries().asKeyValueRange())
            idle.insert(key, value);
        QJsonArray reported;
        for (int i = 0; i < 3; ++i) {
            QJsonObject cycle { { "active", report["cycles"][i]["active"] }, { "duration", 1.0 },
                { "file", recordings.value(i) }, { "stopped", idle }, { "bitDepth", 24 } };
            if (i == 2) // only the silent take says so
                cycle.insert(QStringLiteral("silent"), true);
            reported.append(cycle);
            QVERIFY(recordings.value(i).startsWith(QStringLiteral("cycle-%1-").arg(i + 1)));
            QCOMPARE(report["cycles"][i]["active"]["running"], QJsonValue(QStringLiteral("true")));
        }
        QCOMPARE(report,
            (QJsonObject {
                { "backend", "Simulated" }, { "cancelled", idle }, { "cycles", reported }, { "status", "passed" } }));
        QCOMPARE(clock->requested, QList<std::chrono::nanoseconds>(3, std::chrono::seconds(3)));
    }
};

QTEST_GUILESS_MAIN(CaptureVerificationTest)
#include "tst_captureverification.moc"
