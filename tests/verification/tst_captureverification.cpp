#include "capture/CoreAudioTapDriver.h"
#include "capture/hal/SimulatedAudioHardware.h"
#include "support/FakeMediaWriter.h"
#include "support/TestSupport.h"
#include "verification/CaptureVerification.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPromise>
#include <QTemporaryDir>
#include <QProcess>
#include <QTest>

#include <vector>

using namespace vessaro;
using Call = SimulatedAudioHardware::Call;

namespace {

// A real driver over simulated hardware, with faults the hardware cannot show:
// a prepare that fails on a chosen call, and resources reported as still held.
class ScriptedDriver final : public AudioCaptureDriver {
public:
    ScriptedDriver(std::unique_ptr<AudioHardware> hardware, int failPrepareAt, QString stuckKey, QString stuckValue)
        : m_inner(std::move(hardware)), m_failPrepareAt(failPrepareAt), m_stuckKey(std::move(stuckKey)),
          m_stuckValue(std::move(stuckValue))
    {
    }
    AudioStreamBasicDescription format() const override { return m_inner.format(); }
    Diagnostics diagnostics() const override
    {
        Diagnostics diagnostics = m_inner.diagnostics();
        if (!m_stuckKey.isEmpty() && m_stopped)
            diagnostics.insert(m_stuckKey, m_stuckValue);
        return diagnostics;
    }
    Result<void> prepare() override
    {
        if (++m_prepares == m_failPrepareAt)
            return RecorderError::captureFailed(QStringLiteral("创建系统音频采集"), -6);
        return m_inner.prepare();
    }
    Result<void> start(ReceiveCallback receive, LossCallback loss, EventCallback events) override
    {
        m_stopped = false;
        return m_inner.start(std::move(receive), std::move(loss), std::move(events));
    }
    Result<void> stop() override
    {
        m_stopped = true;
        return m_inner.stop();
    }

private:
    CoreAudioTapDriver m_inner;
    int m_prepares = 0;
    int m_failPrepareAt;
    QString m_stuckKey;
    QString m_stuckValue;
    bool m_stopped = false;
};

// Time passes at once, and audio plays while it does: a sound in the first two
// cycles, digital silence in the third.
class PlayingClock final : public Clock {
public:
    explicit PlayingClock(SimulatedAudioHardware* hardware) : m_hardware(hardware) {}
    QDateTime now() const override { return QDateTime::currentDateTimeUtc(); }
    QFuture<bool> sleep(std::chrono::nanoseconds duration, CancellationTokenPtr) override
    {
        requested.append(duration);
        std::vector<float> bytes(4800 * 2, requested.size() == 3 ? 0.0f : 0.25f);
        AudioBufferList list{1, {{2, 4800 * 8, bytes.data()}}};
        m_hardware->deliver(&list);
        QPromise<bool> promise;
        promise.start();
        promise.addResult(true);
        promise.finish();
        return promise.future();
    }
    QList<std::chrono::nanoseconds> requested;

private:
    SimulatedAudioHardware* m_hardware;
};

struct Run {
    QJsonObject report;
    bool terminated = false;
    std::shared_ptr<PlayingClock> clock;
};

Run verify(const QString& directory, int failPrepareAt = 0, const QString& stuckKey = {}, const QString& stuckValue = {},
           const std::function<void(SimulatedAudioHardware&)>& setUp = {})
{
    auto hardware = std::make_unique<SimulatedAudioHardware>();
    auto* raw = hardware.get();
    if (setUp)
        setUp(*raw);
    Run run;
    run.clock = std::make_shared<PlayingClock>(raw);
    CaptureVerification::Options options;
    auto owned = std::make_shared<std::unique_ptr<AudioHardware>>(std::move(hardware));
    options.makeDriver = [owned, failPrepareAt, stuckKey, stuckValue] {
        return std::make_unique<ScriptedDriver>(std::move(*owned), failPrepareAt, stuckKey, stuckValue);
    };
    options.clock = run.clock;
    options.writers = std::make_shared<test::FakeMediaWriterFactory>(std::make_shared<test::FakeMediaScript>());
    options.assets = std::make_shared<test::FakeMediaAssetOpener>(std::make_shared<test::FakeAssetScript>());
    bool* terminated = &run.terminated;
    auto task = CaptureVerification::run(directory, [terminated] { *terminated = true; }, options);
    QDeadlineTimer deadline(20000);
    while (!run.terminated && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QFile file(directory + QStringLiteral("/result.json"));
    if (file.open(QIODevice::ReadOnly))
        run.report = QJsonDocument::fromJson(file.readAll()).object();
    return run;
}

QStringList recordingsIn(const QString& directory)
{
    return QDir(directory).entryList({QStringLiteral("*.mp4")}, QDir::Files, QDir::Name);
}

} // namespace

class CaptureVerificationTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void argumentScan_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("directory");
        QTest::newRow("absent") << QStringList{"vessaro"} << QString();
        QTest::newRow("flag last") << QStringList{"vessaro", "--verify-capture"} << QString();
        QTest::newRow("absolute") << QStringList{"vessaro", "--verify-capture", "/tmp/out"} << "/tmp/out";
        QTest::newRow("relative") << QStringList{"vessaro", "--verify-capture", "out/run"}
                                  << QDir::current().absoluteFilePath(QStringLiteral("out/run"));
        QTest::newRow("twice: the first counts, even before a flag")
            << QStringList{"vessaro", "--verify-capture", "--verify-capture", "/b"}
            << QDir::current().absoluteFilePath(QStringLiteral("--verify-capture"));
        QTest::newRow("the program path is searched too") << QStringList{"--verify-capture", "/x"} << "/x";
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
        const QString directory = dir.filePath(QStringLiteral("nested/report"));
        const Run run = verify(directory);
        QCOMPARE(run.report.value(QStringLiteral("status")).toString(), QStringLiteral("passed"));
        QCOMPARE(run.report.value(QStringLiteral("backend")).toString(), QStringLiteral("Simulated"));
        QVERIFY(!run.report.contains(QStringLiteral("error")));
        QVERIFY(run.report.value(QStringLiteral("cancelled")).toObject().value(QStringLiteral("tap")) == QStringLiteral("0"));
        const QJsonArray cycles = run.report.value(QStringLiteral("cycles")).toArray();
        QCOMPARE(cycles.size(), 3);
        QStringList files;
        for (int i = 0; i < cycles.size(); ++i) {
            const QJsonObject cycle = cycles.at(i).toObject();
            // Only the silent take says so.
            QCOMPARE(cycle.keys(), i == 2 ? QStringList({"active", "duration", "file", "silent", "stopped"})
                                          : QStringList({"active", "duration", "file", "stopped"}));
            QCOMPARE(cycle.value(QStringLiteral("silent")).toBool(), i == 2);
            QCOMPARE(cycle.value(QStringLiteral("active")).toObject().value(QStringLiteral("running")).toString(),
                     QStringLiteral("true"));
            QCOMPARE(cycle.value(QStringLiteral("stopped")).toObject().value(QStringLiteral("io")).toString(),
                     QStringLiteral("none"));
            QCOMPARE(cycle.value(QStringLiteral("duration")).toDouble(), 1.0);
            const QString file = cycle.value(QStringLiteral("file")).toString();
            QVERIFY(file.startsWith(QStringLiteral("cycle-%1-").arg(i + 1)));
            QCOMPARE(file.size(), qsizetype(8 + 36 + 4));
            files.append(file);
        }
        files.sort();
        QCOMPARE(recordingsIn(directory), files);
        QVERIFY(QDir(home.recordingsDirectory()).isEmpty());
        QCOMPARE(run.clock->requested, QList<std::chrono::nanoseconds>(3, std::chrono::seconds(3)));
    }

    void heldResourcesAfterStopFailTheCycle_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("io") << "io" << "allocated";
        QTest::newRow("tap") << "tap" << "7";
        QTest::newRow("device") << "device" << "9";
    }

    void heldResourcesAfterStopFailTheCycle()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        test::ScopedCacheHome home;
        QTemporaryDir dir;
        const Run run = verify(dir.path(), 0, key, value);
        QCOMPARE(run.report.value(QStringLiteral("status")).toString(), QStringLiteral("failed"));
        QCOMPARE(run.report.value(QStringLiteral("error")).toString(), QStringLiteral("停止后仍有采集资源。"));
        QCOMPARE(run.report.value(QStringLiteral("cycles")).toArray().size(), 0);
        QVERIFY(!run.report.contains(QStringLiteral("cancelled")));
        QVERIFY(!run.report.contains(QStringLiteral("cleanupError")));
        // The cycle's recording stays where the engine left it.
        QVERIFY(recordingsIn(dir.path()).isEmpty());
        QCOMPARE(QDir(home.recordingsDirectory()).entryList(QDir::Files).size(), 1);
    }

    void failureInTheSecondCycleKeepsTheFirst()
    {
        test::ScopedCacheHome home;
        QTemporaryDir dir;
        const Run run = verify(dir.path(), 2);
        QCOMPARE(run.report.value(QStringLiteral("status")).toString(), QStringLiteral("failed"));
        QCOMPARE(run.report.value(QStringLiteral("error")).toString(),
                 QStringLiteral("创建系统音频采集失败（-6）。请确认声音服务正在运行后重试。"));
        QCOMPARE(run.report.value(QStringLiteral("cycles")).toArray().size(), 1);
        QVERIFY(!run.report.contains(QStringLiteral("cancelled")));
        QCOMPARE(recordingsIn(dir.path()).size(), 1);
    }

    void failedCleanupIsReportedBesideTheError()
    {
        test::ScopedCacheHome home;
        QTemporaryDir dir;
        const Run run = verify(dir.path(), 0, {}, {}, [](SimulatedAudioHardware& hardware) {
            hardware.failCall(Call::createAggregateDevice, -10);
            hardware.failCall(Call::destroyProcessTap, -11);
        });
        QCOMPARE(run.report.value(QStringLiteral("status")).toString(), QStringLiteral("failed"));
        QCOMPARE(run.report.value(QStringLiteral("error")).toString(),
                 QStringLiteral("释放系统音频采集失败（-11）。请确认声音服务正在运行后重试。"));
        QCOMPARE(run.report.value(QStringLiteral("cleanupError")).toString(),
                 QStringLiteral("释放系统音频采集失败（-11）。请确认声音服务正在运行后重试。"));
    }

    // Report directories at the edges. Root writes through mode bits, so the
    // unwritable places are a regular file and a read-only mount. A place the
    // report cannot go gets no report, no recording, and termination all the
    // same; an odd but usable name works as any other.
    void reportDirectoriesAtTheEdges_data()
    {
        QTest::addColumn<QString>("place");
        QTest::addColumn<bool>("usable");
        QTest::newRow("a file instead of a directory") << "file" << false;
        QTest::newRow("a directory in a read-only place") << "read-only" << false;
        QTest::newRow("spaces and Chinese in the path") << "录音 报告/第 1 次" << true;
    }

    void reportDirectoriesAtTheEdges()
    {
        QFETCH(QString, place);
        QFETCH(bool, usable);
        test::ScopedCacheHome home;
        QTemporaryDir dir;
        QString directory = dir.filePath(place);
        const auto unmount = qScopeGuard([&] {
            if (place == QStringLiteral("read-only"))
                QProcess::execute(QStringLiteral("umount"), {dir.filePath(place)});
        });
        if (place == QStringLiteral("file")) {
            QFile file(directory);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (place == QStringLiteral("read-only")) {
            QVERIFY(QDir(dir.path()).mkdir(place));
            if (QProcess::execute(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "ro,size=1m", "tmpfs", directory}) != 0)
                QSKIP("mounting a read-only tmpfs needs root");
            directory += QStringLiteral("/report");
        }
        const Run run = verify(directory);
        QVERIFY(run.terminated);
        QCOMPARE(run.report.value(QStringLiteral("status")).toString(),
                 usable ? QStringLiteral("passed") : QString());
        QCOMPARE(recordingsIn(directory).size(), usable ? 3 : 0);
        QVERIFY(QDir(home.recordingsDirectory()).entryList(QDir::Files).isEmpty());
    }
};

QTEST_GUILESS_MAIN(CaptureVerificationTest)
#include "tst_captureverification.moc"
