// The capture driver over the simulated hardware: its state table, the order of its calls, what a failure leaves held.

#include "capture/CoreAudioTapDriver.h"
#include "support/SimulatedAudioHardware.h"

#include <QTest>

using namespace vessaro;
using Call = SimulatedAudioHardware::Call;
using Calls = QList<Call>;

namespace {

struct Rig {
    std::unique_ptr<SimulatedAudioHardware> owned = std::make_unique<SimulatedAudioHardware>();
    SimulatedAudioHardware* hardware = owned.get();
    CoreAudioTapDriver driver { std::move(owned) };
    int received = 0;

    Result<void> start()
    {
        return driver.start([this](const AudioBufferList*) { ++received; }, {}, {});
    }
};

// The status of a capture failure, 0 on success, -1 for any other error.
template <typename T> std::int32_t statusOf(const Result<T>& result)
{
    const RecorderError* error = result ? nullptr : result.error().recorderError();
    return result ? 0 : error && error->kind() == RecorderError::Case::captureFailed ? error->status() : -1;
}

// The status a call fails with: its own, so that a test sees which failure is reported.
constexpr auto failure = [](Call call) { return std::int32_t(-100 - int(call)); };

} // namespace

class CoreAudioTapDriverTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Each prepare names a new device that wraps the tap just made, for its target; blocks reach the callback only
    // while started. The playing programs pass through, a failure to read them as a capture failure.
    void aCycle()
    {
        Rig rig;
        QVERIFY(rig.driver.prepare(CaptureTarget::everything()));
        QVERIFY(rig.driver.prepare(CaptureTarget::ofProgram("Radio")));
        QCOMPARE(rig.hardware->tapDescriptions()[1].target.program, "Radio");
        QVERIFY(rig.hardware->tapDescriptions()[0].target.isEverything());
        QCOMPARE(rig.driver.diagnostics().entries().value("program"), "Radio");
        rig.hardware->setPlayingPrograms({ { "Radio", "radio", 7, "" } });
        QCOMPARE(rig.driver.playingPrograms().value(), std::vector<PlayingProgram>({ { "Radio", "radio", 7, "" } }));
        rig.hardware->failCall(Call::readProcessList, -3, 1);
        QCOMPARE(statusOf(rig.driver.playingPrograms()), -3);
        const auto devices = rig.hardware->deviceDescriptions();
        QCOMPARE(devices[1].taps.value(0).uid, rig.hardware->tapDescriptions()[1].uuid);
        QVERIFY(devices[1].uid.startsWith(QLatin1String(CoreAudioTapDriver::applicationPrefix)));
        QVERIFY(devices[1].uid != devices[0].uid);
        QCOMPARE(rig.driver.format(), AudioStreamBasicDescription::stereoFloat(48000));
        QVERIFY(rig.start());
        AudioBufferList list;
        QVERIFY(rig.hardware->deliver(&list));
        QVERIFY(rig.driver.stop());
        QVERIFY(!rig.hardware->deliver(&list));
        QCOMPARE(rig.received, 1);
    }

    // The state table's calls: a second prepare tears the first down. A failed prepare undoes what came before it,
    // and a failing undo is what is reported; start() is refused outside the prepared state and changes nothing. A
    // stop tries every release whatever failed and reports the first failure; a handle whose release failed is
    // kept. The next stop releases everything.
    void failures_data()
    {
        using enum SimulatedAudioHardware::Call;
        QTest::addColumn<QString>("steps"); // p: prepare, s: start, x: stop; the last one is checked
        // Calls that fail once each, with failure(call); the first one's is reported.
        QTest::addColumn<Calls>("failing");
        QTest::addColumn<Calls>("calls"); // those of the last step
        QTest::addColumn<Diagnostics>("after");
        const Diagnostics fresh { QStringLiteral("Simulated") };
        const auto left = [](std::uint32_t tap, std::uint32_t device, bool io = false, bool running = false) {
            return Diagnostics { QStringLiteral("Simulated"), tap, device, io, running, 48000 };
        };
        const Calls stop { deviceStop, destroyIOProc, destroyAggregateDevice, destroyProcessTap, drainAudioQueue };
        const Calls prepare { drainAudioQueue, createProcessTap, readTapFormat, createAggregateDevice,
            destroyProcessTap, drainAudioQueue };
        QTest::newRow("stop, fresh") << "x" << Calls {} << Calls { drainAudioQueue } << fresh;
        QTest::newRow("prepare twice") << "pp" << Calls {} << stop.mid(2, 2) + prepare.mid(0, 4) << left(102, 103);
        QTest::newRow("stop") << "psx" << Calls {} << stop << left(0, 0);
        QTest::newRow("prepare: tap") << "p" << Calls { createProcessTap }
                                      << Calls { drainAudioQueue, createProcessTap, drainAudioQueue } << fresh;
        QTest::newRow("prepare: device") << "p" << Calls { createAggregateDevice } << prepare << left(0, 0);
        QTest::newRow("prepare: device, and its undo")
            << "p" << Calls { destroyProcessTap, createAggregateDevice } << prepare << left(100, 0);
        QTest::newRow("start: not prepared") << "s" << Calls {} << Calls {} << fresh;
        QTest::newRow("start: running already") << "pss" << Calls {} << Calls {} << left(100, 101, true, true);
        QTest::newRow("start: register") << "ps" << Calls { createIOProc } << Calls { createIOProc } << left(100, 101);
        QTest::newRow("start: device start keeps the proc")
            << "ps" << Calls { deviceStart } << Calls { createIOProc, deviceStart } << left(100, 101, true, false);
        QTest::newRow("stop: device stop, then the tap")
            << "psx" << Calls { deviceStop, destroyProcessTap } << stop << left(100, 0);
        QTest::newRow("stop: io proc, cleared with the device")
            << "psx" << Calls { destroyIOProc } << stop << left(0, 0);
        QTest::newRow("stop: device kept") << "psx" << Calls { destroyAggregateDevice } << stop << left(0, 101);
        QTest::newRow("stop: tap kept") << "psx" << Calls { destroyProcessTap } << stop << left(100, 0);
        QTest::newRow("stop: device stop and device, still running")
            << "psx" << Calls { deviceStop, destroyAggregateDevice } << stop << left(0, 101, false, true);
    }

    void failures()
    {
        QFETCH(QString, steps);
        QFETCH(Calls, failing);
        QFETCH(Calls, calls);
        QFETCH(Diagnostics, after);
        Rig rig;
        for (Call call : failing)
            rig.hardware->failCall(call, failure(call), 1);
        qsizetype before = 0;
        std::int32_t last = 0;
        for (QChar step : steps) {
            QCOMPARE(last, 0);
            before = rig.hardware->calls().size();
            last = statusOf(step == 'p' ? rig.driver.prepare({}) : step == 's' ? rig.start() : rig.driver.stop());
        }
        // A step that made no call was refused.
        QCOMPARE(last, failing.isEmpty() ? (calls.isEmpty() ? -1 : 0) : failure(failing[0]));
        QCOMPARE(rig.hardware->calls().mid(before), calls);
        QCOMPARE(rig.driver.diagnostics(), after);
        QVERIFY(rig.driver.stop());
        QVERIFY(rig.driver.diagnostics().released());
        QCOMPARE(rig.hardware->heldObjects(), 0);
    }
};

QTEST_GUILESS_MAIN(CoreAudioTapDriverTest)
#include "tst_coreaudiotapdriver.moc"
