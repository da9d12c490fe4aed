#include "capture/CoreAudioTapDriver.h"
#include "capture/hal/SimulatedAudioHardware.h"

#include <QTest>

using namespace vessaro;
using Call = SimulatedAudioHardware::Call;

namespace {

struct Rig {
    SimulatedAudioHardware* hardware;
    std::unique_ptr<CoreAudioTapDriver> driver;
};

Rig makeRig()
{
    auto hardware = std::make_unique<SimulatedAudioHardware>();
    auto* raw = hardware.get();
    return {raw, std::make_unique<CoreAudioTapDriver>(std::move(hardware))};
}

QString describe(const Result<void>& result)
{
    return result.ok() ? QStringLiteral("ok") : result.error().localizedDescription();
}

QString failureText(const char* step, int status)
{
    return QString::fromUtf8(step) + QStringLiteral("失败（") + QString::number(status)
        + QStringLiteral("）。请确认声音服务正在运行后重试。");
}

Diagnostics idleDiagnostics(const QString& sampleRate)
{
    return {{QStringLiteral("backend"), QStringLiteral("Simulated")}, {QStringLiteral("tap"), QStringLiteral("0")},
            {QStringLiteral("device"), QStringLiteral("0")},          {QStringLiteral("io"), QStringLiteral("none")},
            {QStringLiteral("running"), QStringLiteral("false")},     {QStringLiteral("sampleRate"), sampleRate}};
}

} // namespace

class CoreAudioTapDriverTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void freshDriverStopsWithoutTouchingThePlatform()
    {
        auto rig = makeRig();
        QCOMPARE(rig.driver->diagnostics(), idleDiagnostics(QStringLiteral("0.0")));
        QCOMPARE(rig.driver->format(), AudioStreamBasicDescription{});
        QVERIFY(rig.driver->stop().ok());
        QVERIFY(rig.driver->stop().ok());
        QCOMPARE(rig.hardware->calls(), QStringList({QStringLiteral("drainAudioQueue"), QStringLiteral("drainAudioQueue")}));
    }

    void fullCycleFollowsTheStateTableAndReleaseOrder()
    {
        auto rig = makeRig();
        QVERIFY(rig.driver->prepare().ok());
        auto prepared = rig.driver->diagnostics();
        QVERIFY(prepared.value(QStringLiteral("tap")) != QStringLiteral("0"));
        QVERIFY(prepared.value(QStringLiteral("device")) != QStringLiteral("0"));
        QCOMPARE(prepared.value(QStringLiteral("io")), QStringLiteral("none"));
        QCOMPARE(prepared.value(QStringLiteral("running")), QStringLiteral("false"));
        QCOMPARE(prepared.value(QStringLiteral("sampleRate")), QStringLiteral("48000.0"));
        QCOMPARE(rig.driver->format().mChannelsPerFrame, 2U);

        int received = 0;
        QVERIFY(rig.driver->start([&received](const AudioBufferList*) { ++received; }, [](std::uint64_t) {}, {}).ok());
        QCOMPARE(rig.driver->diagnostics().value(QStringLiteral("io")), QStringLiteral("allocated"));
        QCOMPARE(rig.driver->diagnostics().value(QStringLiteral("running")), QStringLiteral("true"));
        AudioBufferList list;
        QVERIFY(rig.hardware->deliver(&list));
        QCOMPARE(received, 1);

        rig.hardware->clearCalls();
        QVERIFY(rig.driver->stop().ok());
        QCOMPARE(rig.hardware->calls(),
                 QStringList({QStringLiteral("deviceStop"), QStringLiteral("destroyIOProc"),
                              QStringLiteral("destroyAggregateDevice"), QStringLiteral("destroyProcessTap"),
                              QStringLiteral("drainAudioQueue")}));
        QCOMPARE(rig.driver->diagnostics(), idleDiagnostics(QStringLiteral("48000.0")));
        QCOMPARE(rig.hardware->heldObjects(), 0);
        // The format is kept after stop.
        QCOMPARE(rig.driver->format().mSampleRate, 48000.0);
        QVERIFY(!rig.hardware->deliver(&list));
    }

    void sampleRateText_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<QString>("text");
        QTest::newRow("whole") << 44100.0 << "44100.0";
        QTest::newRow("fraction") << 44099.5 << "44099.5";
        QTest::newRow("shortest round trip") << 48000.000000000007 << "48000.00000000001";
    }

    void sampleRateText()
    {
        QFETCH(double, rate);
        QFETCH(QString, text);
        auto driver = CoreAudioTapDriver(std::make_unique<SimulatedAudioHardware>(SimulatedAudioHardware::stereoFloat(rate)));
        QVERIFY(driver.prepare().ok());
        QCOMPARE(driver.diagnostics().value(QStringLiteral("sampleRate")), text);
        QCOMPARE(driver.diagnostics().value(QStringLiteral("sampleRate")).toDouble(), rate);
    }

    void prepareFailures_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("cleanup");
        QTest::newRow("tap") << int(Call::createProcessTap) << failureText("创建系统音频采集", -6)
                             << QStringList{QStringLiteral("drainAudioQueue")};
        QTest::newRow("format: the tap is destroyed first") << int(Call::readTapFormat) << failureText("读取采集格式", -6)
                                << QStringList{QStringLiteral("destroyProcessTap"), QStringLiteral("drainAudioQueue")};
        QTest::newRow("device") << int(Call::createAggregateDevice) << failureText("创建录音输入", -6)
                                << QStringList{QStringLiteral("destroyProcessTap"), QStringLiteral("drainAudioQueue")};
    }

    void prepareFailures()
    {
        QFETCH(int, call);
        QFETCH(QString, message);
        QFETCH(QStringList, cleanup);
        auto rig = makeRig();
        rig.hardware->failCall(Call(call), -6);
        QCOMPARE(describe(rig.driver->prepare()), message);
        const QStringList calls = rig.hardware->calls();
        const auto failed = calls.indexOf(SimulatedAudioHardware::callName(Call(call)));
        QCOMPARE(calls.mid(failed + 1), cleanup);
        QCOMPARE(rig.hardware->heldObjects(), 0);
        QCOMPARE(rig.driver->diagnostics().value(QStringLiteral("tap")), QStringLiteral("0"));
    }

    void failedCleanupReplacesThePrepareError()
    {
        auto rig = makeRig();
        rig.hardware->failCall(Call::createAggregateDevice, -1);
        rig.hardware->failCall(Call::destroyProcessTap, -2, 1);
        QCOMPARE(describe(rig.driver->prepare()), failureText("释放系统音频采集", -2));
        // The tap whose release failed is kept, so the next stop tries again.
        QVERIFY(rig.driver->diagnostics().value(QStringLiteral("tap")) != QStringLiteral("0"));
        QVERIFY(rig.driver->stop().ok());
        QCOMPARE(rig.hardware->heldObjects(), 0);
    }

    void prepareTwiceTearsDownFirstWithANewUid()
    {
        auto rig = makeRig();
        QVERIFY(rig.driver->prepare().ok());
        rig.hardware->clearCalls();
        QVERIFY(rig.driver->prepare().ok());
        QCOMPARE(rig.hardware->calls().mid(0, 3),
                 QStringList({QStringLiteral("destroyAggregateDevice"), QStringLiteral("destroyProcessTap"),
                              QStringLiteral("drainAudioQueue")}));
        const auto devices = rig.hardware->deviceDescriptions();
        QCOMPARE(devices.size(), 2);
        QVERIFY(devices[0].uid != devices[1].uid);
        QVERIFY(devices[1].uid.startsWith(QLatin1String(CoreAudioTapDriver::applicationPrefix) + QStringLiteral("recorder.")));
        QCOMPARE(devices[1].uid.size(), qsizetype(strlen(CoreAudioTapDriver::applicationPrefix)) + 9 + 36);
        QCOMPARE(devices[1].name, QStringLiteral("Vessaro Private Input"));
        QVERIFY(devices[1].isPrivate && devices[1].tapAutoStart);
        QCOMPARE(devices[1].taps.size(), 1);
        QCOMPARE(devices[1].taps[0].uid, rig.hardware->tapDescriptions()[1].uuid);
        QVERIFY(devices[1].taps[0].drift);
        const auto tap = rig.hardware->tapDescriptions()[1];
        QCOMPARE(tap.name, QStringLiteral("Brisal录音"));
        QVERIFY(tap.isPrivate && tap.stereoMixdown);
        QCOMPARE(tap.muteBehavior, 0);
        QCOMPARE(rig.hardware->heldObjects(), 2);
    }

    void startInTheWrongStateIsRefusedWithoutChanges()
    {
        auto rig = makeRig();
        const QString refusal = QStringLiteral("录音设备未准备好或已开始录制。");
        QCOMPARE(describe(rig.driver->start([](const AudioBufferList*) {}, [](std::uint64_t) {}, {})), refusal);
        QVERIFY(rig.hardware->calls().isEmpty());
        QVERIFY(rig.driver->prepare().ok());
        QVERIFY(rig.driver->start([](const AudioBufferList*) {}, [](std::uint64_t) {}, {}).ok());
        const auto running = rig.driver->diagnostics();
        QCOMPARE(describe(rig.driver->start([](const AudioBufferList*) {}, [](std::uint64_t) {}, {})), refusal);
        QCOMPARE(rig.driver->diagnostics(), running);
    }

    void startFailures_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("io");
        QTest::newRow("register") << int(Call::createIOProc) << failureText("注册音频回调", 35) << "none";
        QTest::newRow("device start keeps the proc") << int(Call::deviceStart) << failureText("开始系统音频录制", 35)
                                                     << "allocated";
    }

    void startFailures()
    {
        QFETCH(int, call);
        QFETCH(QString, message);
        QFETCH(QString, io);
        auto rig = makeRig();
        QVERIFY(rig.driver->prepare().ok());
        rig.hardware->failCall(Call(call), 35);
        QCOMPARE(describe(rig.driver->start([](const AudioBufferList*) {}, [](std::uint64_t) {}, {})), message);
        QCOMPARE(rig.driver->diagnostics().value(QStringLiteral("io")), io);
        QCOMPARE(rig.driver->diagnostics().value(QStringLiteral("running")), QStringLiteral("false"));
        // No clean-up of its own: the caller's stop releases everything.
        QVERIFY(!rig.hardware->calls().contains(QStringLiteral("destroyAggregateDevice")));
        QVERIFY(rig.driver->stop().ok());
        QCOMPARE(rig.hardware->heldObjects(), 0);
    }

    void stopFailures_data()
    {
        QTest::addColumn<QList<int>>("failing");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("tap");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("io");
        QTest::addColumn<QString>("running");
        QTest::newRow("device stop: the rest is still released, its step is named")
            << QList<int>{int(Call::deviceStop), int(Call::destroyProcessTap)} << failureText("停止音频设备", -9)
            << "set" << "0" << "none" << "false";
        QTest::newRow("io proc: cleared with the device") << QList<int>{int(Call::destroyIOProc)}
                                                          << failureText("移除音频回调", -9) << "0" << "0" << "none" << "false";
        QTest::newRow("device kept") << QList<int>{int(Call::destroyAggregateDevice)} << failureText("释放录音输入", -9)
                                     << "0" << "set" << "none" << "false";
        QTest::newRow("tap kept") << QList<int>{int(Call::destroyProcessTap)} << failureText("释放系统音频采集", -9)
                                  << "set" << "0" << "none" << "false";
        QTest::newRow("device stop and device: running stays true")
            << QList<int>{int(Call::deviceStop), int(Call::destroyAggregateDevice)} << failureText("停止音频设备", -9)
            << "0" << "set" << "none" << "true";
    }

    void stopFailures()
    {
        QFETCH(QList<int>, failing);
        QFETCH(QString, message);
        QFETCH(QString, tap);
        QFETCH(QString, device);
        QFETCH(QString, io);
        QFETCH(QString, running);
        auto rig = makeRig();
        QVERIFY(rig.driver->prepare().ok());
        QVERIFY(rig.driver->start([](const AudioBufferList*) {}, [](std::uint64_t) {}, {}).ok());
        for (int call : failing)
            rig.hardware->failCall(Call(call), -9, 1);
        QCOMPARE(describe(rig.driver->stop()), message);
        // The queue hand-over happens whatever failed.
        QCOMPARE(rig.hardware->calls().last(), QStringLiteral("drainAudioQueue"));
        const auto after = rig.driver->diagnostics();
        const auto held = [](const QString& value) { return value == QStringLiteral("0") ? value : QStringLiteral("set"); };
        QCOMPARE(held(after.value(QStringLiteral("tap"))), tap);
        QCOMPARE(held(after.value(QStringLiteral("device"))), device);
        QCOMPARE(after.value(QStringLiteral("io")), io);
        QCOMPARE(after.value(QStringLiteral("running")), running);
        // A kept handle is retried by the next stop.
        QVERIFY(rig.driver->stop().ok());
        QCOMPARE(rig.driver->diagnostics().value(QStringLiteral("tap")), QStringLiteral("0"));
        QCOMPARE(rig.hardware->heldObjects(), 0);
    }
};

QTEST_GUILESS_MAIN(CoreAudioTapDriverTest)
#include "tst_coreaudiotapdriver.moc"
