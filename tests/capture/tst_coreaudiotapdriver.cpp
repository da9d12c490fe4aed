// The capture driver over the simulated hardware: its state table, the order
// of its platform calls and what each failed call leaves held.

#include "capture/CoreAudioTapDriver.h"
#include "capture/hal/SimulatedAudioHardware.h"

#include <QTest>

using namespace vessaro;
using Call = SimulatedAudioHardware::Call;

namespace {

struct Rig {
    std::unique_ptr<SimulatedAudioHardware> owned = std::make_unique<SimulatedAudioHardware>();
    SimulatedAudioHardware* hardware = owned.get();
    CoreAudioTapDriver driver { std::move(owned) };

    Result<void> start()
    {
        return driver.start([this](const AudioBufferList*) { ++received; }, {}, {});
    }
    int received = 0;
};

// The status of a capture failure, 0 on success, -1 for any other error.
std::int32_t statusOf(const Result<void>& result)
{
    if (result)
        return 0;
    const RecorderError* error = result.error().recorderError();
    return error && error->kind() == RecorderError::Case::captureFailed ? error->status() : -1;
}

QStringList names(const QList<Call>& calls)
{
    QStringList names;
    for (Call call : calls)
        names.append(SimulatedAudioHardware::callName(call));
    return names;
}

} // namespace

class CoreAudioTapDriverTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void diagnosticsText_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<QString>("text");
        QTest::newRow("none yet") << 0.0 << "0.0";
        QTest::newRow("whole") << 44100.0 << "44100.0";
        QTest::newRow("fraction") << 44099.5 << "44099.5";
        QTest::newRow("shortest round trip") << 48000.000000000007 << "48000.00000000001";
    }

    void diagnosticsText()
    {
        QFETCH(double, rate);
        QFETCH(QString, text);
        const Diagnostics held { QStringLiteral("Simulated"), 7, 0, true, false, rate };
        QCOMPARE(held.entries(),
            (QMap<QString, QString> { { "backend", "Simulated" }, { "tap", "7" }, { "device", "0" },
                { "io", "allocated" }, { "running", "false" }, { "sampleRate", text } }));
        QCOMPARE(held.entries().value(QStringLiteral("sampleRate")).toDouble(), rate);
    }

    // Fresh, prepared twice (the second tears the first down), started, stopped.
    void aCycleFollowsTheStateTable()
    {
        Rig rig;
        QCOMPARE(rig.driver.diagnostics(), Diagnostics { QStringLiteral("Simulated") });
        QCOMPARE(rig.driver.format(), AudioStreamBasicDescription {});
        QVERIFY(rig.driver.stop());
        QVERIFY(rig.driver.prepare());
        QVERIFY(rig.driver.prepare());
        QCOMPARE(rig.hardware->calls(),
            names({ Call::drainAudioQueue, Call::drainAudioQueue, Call::createProcessTap, Call::readTapFormat,
                Call::createAggregateDevice, Call::destroyAggregateDevice, Call::destroyProcessTap,
                Call::drainAudioQueue, Call::createProcessTap, Call::readTapFormat, Call::createAggregateDevice }));
        // Each prepare names a new device, which wraps the tap just made; mixers show both names.
        const auto devices = rig.hardware->deviceDescriptions();
        const auto taps = rig.hardware->tapDescriptions();
        QCOMPARE(devices[1].taps.value(0).uid, taps[1].uuid);
        QCOMPARE(taps[1].name, QStringLiteral("Brisal录音"));
        QCOMPARE(devices[1].name, QStringLiteral("Vessaro Private Input"));
        QVERIFY(devices[1].uid.startsWith(QLatin1String(CoreAudioTapDriver::applicationPrefix)));
        QVERIFY(devices[1].uid != devices[0].uid);
        QCOMPARE(
            rig.driver.diagnostics(), (Diagnostics { QStringLiteral("Simulated"), 102, 103, false, false, 48000 }));
        QCOMPARE(rig.driver.format(), SimulatedAudioHardware::stereoFloat(48000));

        QVERIFY(rig.start());
        QCOMPARE(rig.driver.diagnostics(), (Diagnostics { QStringLiteral("Simulated"), 102, 103, true, true, 48000 }));
        AudioBufferList list;
        QVERIFY(rig.hardware->deliver(&list));
        QCOMPARE(rig.received, 1);

        const auto before = rig.hardware->calls().size();
        QVERIFY(rig.driver.stop());
        QCOMPARE(rig.hardware->calls().mid(before),
            names({ Call::deviceStop, Call::destroyIOProc, Call::destroyAggregateDevice, Call::destroyProcessTap,
                Call::drainAudioQueue }));
        QCOMPARE(rig.driver.diagnostics(), (Diagnostics { QStringLiteral("Simulated"), 0, 0, false, false, 48000 }));
        QCOMPARE(rig.hardware->heldObjects() + rig.hardware->heldIOProcs(), 0);
        QVERIFY(!rig.hardware->deliver(&list));
    }

    // A failed step undoes what came before it; a failing undo is what is
    // reported, and what it could not release is kept for the next stop.
    void prepareFailures_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<bool>("undoFails");
        QTest::addColumn<QStringList>("undo");
        const QStringList drain = names({ Call::drainAudioQueue });
        const QStringList tapAndDrain = names({ Call::destroyProcessTap, Call::drainAudioQueue });
        QTest::newRow("tap") << int(Call::createProcessTap) << false << drain;
        QTest::newRow("format") << int(Call::readTapFormat) << false << tapAndDrain;
        QTest::newRow("device") << int(Call::createAggregateDevice) << false << tapAndDrain;
        QTest::newRow("device, and its undo") << int(Call::createAggregateDevice) << true << tapAndDrain;
    }

    void prepareFailures()
    {
        QFETCH(int, call);
        QFETCH(bool, undoFails);
        QFETCH(QStringList, undo);
        Rig rig;
        rig.hardware->failCall(Call(call), -6);
        if (undoFails)
            rig.hardware->failCall(Call::destroyProcessTap, -2, 1);
        QCOMPARE(statusOf(rig.driver.prepare()), undoFails ? -2 : -6);
        const QStringList calls = rig.hardware->calls();
        QCOMPARE(calls.mid(calls.indexOf(SimulatedAudioHardware::callName(Call(call))) + 1), undo);
        QCOMPARE(rig.driver.diagnostics().released(), !undoFails);
        QVERIFY(rig.driver.stop());
        QCOMPARE(rig.hardware->heldObjects(), 0);
    }

    // start() is refused outside the prepared state and changes nothing; a
    // failing call leaves its clean-up to the caller's stop().
    void startFailures_data()
    {
        QTest::addColumn<int>("startsBefore");
        QTest::addColumn<int>("failing");
        QTest::addColumn<std::int32_t>("status");
        QTest::addColumn<bool>("ioProc");
        QTest::newRow("not prepared") << -1 << -1 << -1 << false;
        QTest::newRow("running already") << 1 << -1 << -1 << true;
        QTest::newRow("register") << 0 << int(Call::createIOProc) << 35 << false;
        QTest::newRow("device start keeps the proc") << 0 << int(Call::deviceStart) << 35 << true;
    }

    void startFailures()
    {
        QFETCH(int, startsBefore);
        QFETCH(int, failing);
        QFETCH(std::int32_t, status);
        QFETCH(bool, ioProc);
        Rig rig;
        if (startsBefore >= 0)
            QVERIFY(rig.driver.prepare());
        if (startsBefore > 0)
            QVERIFY(rig.start());
        if (failing >= 0)
            rig.hardware->failCall(Call(failing), status);
        const Diagnostics before = rig.driver.diagnostics();
        const QStringList callsBefore = rig.hardware->calls();
        QCOMPARE(statusOf(rig.start()), status);
        QCOMPARE(rig.driver.diagnostics().ioProc, ioProc);
        QCOMPARE(rig.hardware->heldIOProcs(), ioProc ? 1 : 0);
        if (failing < 0) {
            QCOMPARE(rig.driver.diagnostics(), before);
            QCOMPARE(rig.hardware->calls(), callsBefore);
        } else {
            QVERIFY(!rig.driver.diagnostics().running);
            QVERIFY(!rig.hardware->calls().contains(SimulatedAudioHardware::callName(Call::destroyAggregateDevice)));
        }
        QVERIFY(rig.driver.stop());
        QCOMPARE(rig.hardware->heldObjects() + rig.hardware->heldIOProcs(), 0);
    }

    // Every release is tried whatever failed before it; the first failure is
    // reported, a handle whose release failed is kept and the next stop
    // releases it.
    void stopFailures_data()
    {
        QTest::addColumn<QList<int>>("failing");
        QTest::addColumn<std::int32_t>("status");
        QTest::addColumn<Diagnostics>("after");
        const auto left = [](std::uint32_t tap, std::uint32_t device, bool running) {
            return Diagnostics { QStringLiteral("Simulated"), tap, device, false, running, 48000 };
        };
        QTest::newRow("device stop, then the tap") << QList<int> { int(Call::deviceStop), int(Call::destroyProcessTap) }
                                                   << -int(Call::deviceStop) << left(100, 0, false);
        QTest::newRow("io proc: cleared with the device")
            << QList<int> { int(Call::destroyIOProc) } << -int(Call::destroyIOProc) << left(0, 0, false);
        QTest::newRow("device kept") << QList<int> { int(Call::destroyAggregateDevice) }
                                     << -int(Call::destroyAggregateDevice) << left(0, 101, false);
        QTest::newRow("tap kept") << QList<int> { int(Call::destroyProcessTap) } << -int(Call::destroyProcessTap)
                                  << left(100, 0, false);
        QTest::newRow("device stop and device: still running")
            << QList<int> { int(Call::deviceStop), int(Call::destroyAggregateDevice) } << -int(Call::deviceStop)
            << left(0, 101, true);
    }

    void stopFailures()
    {
        QFETCH(QList<int>, failing);
        QFETCH(std::int32_t, status);
        QFETCH(Diagnostics, after);
        Rig rig;
        QVERIFY(rig.driver.prepare());
        QVERIFY(rig.start());
        for (int call : failing)
            rig.hardware->failCall(Call(call), -call, 1);
        QCOMPARE(statusOf(rig.driver.stop()), status);
        // The queue hand-over happens whatever failed.
        QCOMPARE(rig.hardware->calls().last(), SimulatedAudioHardware::callName(Call::drainAudioQueue));
        QCOMPARE(rig.driver.diagnostics(), after);
        QVERIFY(rig.driver.stop());
        QVERIFY(rig.driver.diagnostics().released());
        QCOMPARE(rig.hardware->heldObjects(), 0);
    }
};

QTEST_GUILESS_MAIN(CoreAudioTapDriverTest)
#include "tst_coreaudiotapdriver.moc"
